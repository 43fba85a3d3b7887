// Reports as one JSON document each, for scripts.

#include "scan/cli/render.hpp"

#include <nlohmann/json.hpp>

namespace scan {

namespace {

using nlohmann::json;

json sectionJson(const std::string& section) {
    return section.empty() ? json() : json(section);
}

void addNear(json& document, const NearListing& near) {
    if (!near.asked) {
        return;
    }
    json places = json::array();
    for (const NearListing::Place& place : near.listed) {
        json each = {{"rva", place.rva}, {"differingOffsets", place.differingOffsets}};
        if (place.refersTo) {
            each["refersTo"] = place.refersTo->rva;
        }
        places.push_back(each);
    }
    document["near"] = places;
    document["nearTotal"] = near.total;
}

json toJson(const EngineCheckReport& report) {
    json patterns = json::array();
    for (const EngineCheckReport::Pattern& pattern : report.patterns) {
        const PatternFinding& finding = pattern.finding;
        json entry = {{"pattern", finding.pattern},
                      {"found", finding.found},
                      {"matches", finding.matches},
                      {"matchRvas", finding.matchRvas}};
        if (finding.matched) {
            entry["matchRva"] = finding.matchRva;
            entry["globalRva"] = finding.global.rva;
            entry["insideImage"] = finding.global.insideImage;
            entry["section"] = sectionJson(finding.global.section);
        }
        addNear(entry, pattern.near);
        patterns.push_back(entry);
    }
    return {
        {"executable", report.executable}, {"patterns", patterns}, {"allFound", report.allFound}};
}

json toJson(const PatternReport& report) {
    json refersTo = json::array();
    for (const std::optional<GlobalPlace>& referent : report.refersTo) {
        refersTo.push_back(referent ? json(referent->rva) : json());
    }
    json document = {{"pattern", report.text},
                     {"matches", report.matches},
                     {"matchRvas", report.matchRvas},
                     {"refersTo", refersTo}};
    addNear(document, report.near);
    return document;
}

json toJson(const Outcome<EngineEntry>& fit) {
    if (!fit) {
        return {{"usable", false}, {"why", fit.error().detail}};
    }
    return {{"usable", true},
            {"globalRva", fit->global.rva},
            {"section", sectionJson(fit->global.section)},
            {"bytes", escapedBytes(fit->entry)},
            {"mask", fit->entry.mask},
            {"entry", tableEntry(fit->entry)}};
}

json toJson(const MadeSignature& made, const Outcome<EngineEntry>& enginePattern) {
    const Signature& signature = made.signature;
    return {{"signature", notation(signature)},
            {"bytes", escapedBytes(signature)},
            {"mask", signature.mask},
            {"length", signature.length()},
            {"margin", made.margin},
            {"instructions", made.instructions},
            {"enginePattern", toJson(enginePattern)}};
}

// The referring instruction within a signature, and where its relative field lies.
json routeJson(const ReferenceSignature& route, const Outcome<EngineEntry>& enginePattern,
               std::uint64_t place) {
    json entry = toJson(route.made, enginePattern);
    entry["rva"] = route.reference.rva;
    entry["matchRva"] = route.made.rva;
    entry["instructionOffset"] = route.instructionOffset;
    entry["instructionLength"] = route.reference.length;
    entry["fieldOffset"] = route.fieldOffset;
    entry["resolvesTo"] = place;
    return entry;
}

// Routes that reach the place through a hop (a jump thunk, a table slot): each one's reference
// signature, with the hop's own fields.
template <typename Hop, typename AddHop>
json hopsJson(const std::vector<Offered<Hop>>& hops, std::uint64_t place, AddHop addHop) {
    json list = json::array();
    for (const Offered<Hop>& each : hops) {
        json entry = routeJson(each.route.route, each.enginePattern, place);
        addHop(entry, each.route);
        list.push_back(entry);
    }
    return list;
}

json toJson(const SignatureReport& report) {
    const SignatureRoutes& routes = report.routes;
    json document = {{"rva", routes.place}};
    if (routes.own) {
        document.update(toJson(routes.own->route, routes.own->enginePattern));
    } else {
        document["error"] = routes.own.error().detail;
    }
    if (routes.interior) {
        const InteriorSignature& interior = routes.interior->route;
        json entry = toJson(interior.made, routes.interior->enginePattern);
        entry["matchRva"] = interior.made.rva;
        entry["placeOffset"] = interior.placeOffset;
        document["interior"] = entry;
    }
    document["function"] =
        routes.function ? json{{"begin", routes.function->begin}, {"end", routes.function->end}}
                        : json();
    document["exports"] = routes.exports;
    document["funclet"] =
        routes.funcletParent ? json{{"parentRva", *routes.funcletParent}} : json();
    if (routes.referencesLooked) {
        json list = json::array();
        for (const Offered<ReferenceSignature>& each : routes.references) {
            json entry = routeJson(each.route, each.enginePattern, routes.place);
            entry["branch"] = each.route.reference.branch;
            list.push_back(entry);
        }
        document["references"] = list;
    }
    if (routes.thunksLooked) {
        // Apart from "references": following one of these once leads to the jump, not the place.
        document["thunks"] =
            hopsJson(routes.thunks, routes.place, [](json& entry, const ThunkSignature& thunk) {
                entry["thunkRva"] = thunk.thunkRva;
            });
    }
    if (routes.tablesLooked) {
        document["tables"] =
            hopsJson(routes.tables, routes.place, [](json& entry, const TableSignature& table) {
                entry["tableRva"] = table.tableRva;
                entry["slotOffset"] = table.slotOffset;
            });
    }
    return document;
}

std::string bytesText(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += (text.empty() ? "" : " ") + std::string{digits[byte >> 4], digits[byte & 15]};
    }
    return text;
}

json fieldsJson(const std::vector<FieldValue>& fields) {
    json entries = json::array();
    for (const FieldValue& field : fields) {
        entries.push_back(
            {{"operand", field.oldOperand},
             {"newOperand", field.newOperand},
             {"old", field.oldValue},
             {"new", field.newValue},
             {"kind",
              field.kind == InstructionField::Kind::immediate ? "immediate" : "displacement"}});
    }
    return entries;
}

json toJson(const UpdateReport& report) {
    json entries = json::array();
    for (const EntryUpdate& update : report.entries) {
        json anchors = json::array();
        for (const BundleReading::Found& found : update.reading.anchors) {
            anchors.push_back({{"kind", kindText(found.anchor.kind)},
                               {"signature", notation(found.anchor.made.signature)},
                               {"matches", found.matches},
                               {"matchRva", found.match ? json(*found.match) : json()},
                               {"leadsTo", found.function ? json(*found.function) : json()}});
        }
        json engine;
        if (update.enginePattern) {
            engine = toJson(*update.enginePattern);
            if (*update.enginePattern) {
                engine["entry"] =
                    tableEntry((*update.enginePattern)->entry, update.entry.readsValue);
            }
        }
        json each = {{"name", update.entry.name},
                     {"status", statusText(update.status)},
                     {"oldRva", update.oldRva ? json(*update.oldRva) : json()},
                     {"newRva", update.newRva ? json(*update.newRva) : json()},
                     {"signature", update.signature ? json(notation(*update.signature)) : json()},
                     {"offset", update.signature ? json(update.offset) : json()},
                     {"margin", update.signature ? json(update.margin) : json()},
                     {"anchorsFound", update.reading.found},
                     {"anchorsAgreeing", update.reading.agreeing},
                     {"candidates", update.reading.candidates},
                     {"anchors", anchors},
                     {"enginePattern", engine},
                     {"placedBy", update.placedBy != EntryUpdate::PlacedBy::nothing
                                      ? json(placedByText(update.placedBy))
                                      : json()},
                     {"matchEvidence", evidenceTexts(update.matchEvidence)},
                     {"fields", fieldsJson(update.fields)}};
        if (update.reason.kind != EntryUpdate::Reason::Kind::none) {
            each["why"] = whyText(update.reason);
            each["reason"] = {{"kind", reasonKindText(update.reason.kind)},
                              {"rvas", update.reason.rvas}};
            if (update.reason.kind == EntryUpdate::Reason::Kind::tooFewFound) {
                each["reason"]["found"] = update.reason.count;
            }
        }
        entries.push_back(each);
    }
    return {{"older", report.older}, {"newer", report.newer}, {"entries", entries}};
}

json toJson(const DiffReport& report) {
    json functions = json::array();
    for (const FunctionPair& pair : report.match.pairs) {
        functions.push_back({{"oldRva", pair.oldRva},
                             {"newRva", pair.newRva},
                             {"same", pair.same},
                             {"evidence", evidenceTexts(pair.evidence)}});
    }
    const auto whyTexts = [](const std::vector<Unpaired>& why) {
        std::vector<std::string> texts;
        for (const Unpaired each : why) {
            texts.push_back(unpairedText(each));
        }
        return texts;
    };
    const DiffSummary& summary = report.summary;
    return {{"older", report.older},
            {"newer", report.newer},
            {"functions", functions},
            {"removed", report.match.removed},
            {"added", report.match.added},
            {"removedWhy", whyTexts(report.match.removedWhy)},
            {"addedWhy", whyTexts(report.match.addedWhy)},
            {"summary",
             {{"oldFunctions", report.match.oldFunctions},
              {"newFunctions", report.match.newFunctions},
              {"paired", summary.paired},
              {"unchanged", summary.unchanged},
              {"changed", summary.changed},
              {"removed", summary.removed},
              {"added", summary.added},
              {"rounds", summary.rounds},
              {"unpaired",
               {{"noEvidence", summary.why[0]},
                {"oneKind", summary.why[1]},
                {"conflicting", summary.why[2]}}}}}};
}

json toJson(const FunctionDiffReport& report) {
    const FunctionDiff& diff = report.diff;
    const auto side = [](const std::optional<InstructionText>& shown) {
        return shown ? json{{"rva", shown->rva},
                            {"text", shown->text},
                            {"bytes", bytesText(shown->bytes)}}
                     : json();
    };
    json lines = json::array();
    for (const DiffLine& line : diff.lines) {
        json targets = json::array();
        for (const TargetValue& target : line.targets) {
            targets.push_back(
                {{"old", target.oldTarget},
                 {"new", target.newTarget},
                 {"pairedWith", target.pairedWith ? json(*target.pairedWith) : json()},
                 {"code", target.code}});
        }
        lines.push_back({{"old", side(line.older)},
                         {"new", side(line.newer)},
                         {"change", changeText(line.change)},
                         {"fields", fieldsJson(line.fields)},
                         {"targets", targets}});
    }
    return {{"older", report.older},
            {"newer", report.newer},
            {"oldRva", diff.oldRva ? json(*diff.oldRva) : json()},
            {"newRva", diff.newRva ? json(*diff.newRva) : json()},
            {"evidence", diff.pair ? json(evidenceTexts(diff.pair->evidence)) : json::array()},
            {"same", diff.pair ? json(diff.pair->same) : json()},
            {"why", diff.why ? json(unpairedText(*diff.why)) : json()},
            {"counts",
             {{"same", diff.counts[0]},
              {"fields", diff.counts[1]},
              {"added", diff.counts[2]},
              {"removed", diff.counts[3]}}},
            {"lines", lines}};
}

json toJson(const FieldsReport& report) {
    json moves = json::array();
    for (const FieldMove& move : report.fields.moves) {
        moves.push_back({{"old", move.oldValue},
                         {"new", move.newValue},
                         {"instructions", move.instructions},
                         {"functions", move.functions},
                         {"disagreeing", move.disagreeing},
                         {"kept", move.kept}});
    }
    const FieldMoves& fields = report.fields;
    return {{"older", report.older},
            {"newer", report.newer},
            {"pairs", fields.pairsAligned},
            {"instructions", fields.instructions},
            {"displacements", fields.displacements},
            {"moved", fields.moved},
            {"fields", moves}};
}

json toJson(const ErrorReport& report) {
    json document = {{"error", message(report.error)}};
    if (report.executable) {
        document["executable"] = *report.executable;
    }
    if (report.rva) {
        document["rva"] = *report.rva;
    }
    return document;
}

} // namespace

void printJson(const Report& report, std::ostream& out) {
    json document = std::visit([](const auto& each) { return toJson(each); }, report);
    document["exitStatus"] = exitStatusOf(report);
    out << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

} // namespace scan
