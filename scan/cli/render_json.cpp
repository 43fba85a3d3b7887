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
            entry["globalRva"] = finding.globalRva;
            entry["insideImage"] = finding.insideImage;
            entry["section"] = sectionJson(finding.section);
        }
        addNear(entry, pattern.near);
        patterns.push_back(entry);
    }
    return {
        {"executable", report.executable}, {"patterns", patterns}, {"allFound", report.allFound}};
}

json toJson(const PatternReport& report) {
    json refersTo = json::array();
    for (const std::optional<Referent>& referent : report.refersTo) {
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
            {"globalRva", fit->globalRva},
            {"section", sectionJson(fit->section)},
            {"bytes", escapedBytes(fit->entry)},
            {"mask", fit->entry.mask},
            {"entry", tableEntry(fit->entry)}};
}

json toJson(const ShownSignature& shown) {
    const Signature& signature = shown.made.signature;
    return {{"signature", notation(signature)},
            {"bytes", escapedBytes(signature)},
            {"mask", signature.mask},
            {"length", signature.length()},
            {"margin", shown.made.margin},
            {"instructions", shown.made.instructions},
            {"enginePattern", toJson(shown.enginePattern)}};
}

// The referring instruction within a signature, and where its relative field lies.
json routeJson(const ShownSignature& shown, const ReferenceSignature& route, std::uint64_t place) {
    json entry = toJson(shown);
    entry["rva"] = route.reference.rva;
    entry["matchRva"] = route.made.rva;
    entry["instructionOffset"] = route.instructionOffset;
    entry["instructionLength"] = route.reference.length;
    entry["fieldOffset"] =
        route.instructionOffset + static_cast<std::int64_t>(route.reference.fieldOffset);
    entry["resolvesTo"] = place;
    return entry;
}

json toJson(const SignatureReport& report) {
    json document = {{"rva", report.rva}};
    if (report.own) {
        document.update(toJson(*report.own));
    } else {
        document["error"] = report.whyNoneOwn;
    }
    if (report.interior) {
        json entry = toJson(*report.interior);
        entry["matchRva"] = report.interior->made.rva;
        entry["placeOffset"] = -static_cast<std::int64_t>(report.interior->made.rva - report.rva);
        document["interior"] = entry;
    }
    document["function"] =
        report.function ? json{{"begin", report.function->begin}, {"end", report.function->end}}
                        : json();
    document["exports"] = report.exports;
    document["funclet"] =
        report.funcletParent ? json{{"parentRva", *report.funcletParent}} : json();
    if (report.referencesLooked) {
        json list = json::array();
        for (const SignatureReport::Referring& each : report.references) {
            json entry = routeJson(each.shown, each.route, report.rva);
            entry["branch"] = each.route.reference.branch;
            list.push_back(entry);
        }
        document["references"] = list;
    }
    if (report.thunksLooked) {
        // Apart from "references": following one of these once leads to the jump, not the place.
        json list = json::array();
        for (const SignatureReport::Thunk& each : report.thunks) {
            json entry = routeJson(each.shown, each.route.route, report.rva);
            entry["thunkRva"] = each.route.thunkRva;
            list.push_back(entry);
        }
        document["thunks"] = list;
    }
    if (report.tablesLooked) {
        json list = json::array();
        for (const SignatureReport::Table& each : report.tables) {
            json entry = routeJson(each.shown, each.route.route, report.rva);
            entry["tableRva"] = each.route.tableRva;
            entry["slotOffset"] = each.route.slotOffset;
            list.push_back(entry);
        }
        document["tables"] = list;
    }
    return document;
}

json toJson(const UpdateReport& report) {
    json entries = json::array();
    for (const EntryUpdate& update : report.entries) {
        json anchors = json::array();
        for (std::size_t n = 0; n < update.reading.anchors.size(); ++n) {
            const BundleReading::Found& found = update.reading.anchors[n];
            anchors.push_back({{"kind", kindText(update.bundle.anchors[n].kind)},
                               {"signature", notation(update.bundle.anchors[n].made.signature)},
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
                     {"enginePattern", engine}};
        if (!update.why.empty()) {
            each["why"] = update.why;
        }
        entries.push_back(each);
    }
    return {{"older", report.older}, {"newer", report.newer}, {"entries", entries}};
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
