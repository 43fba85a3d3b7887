#pragma once
// What stops orvelin-scan before it has an answer, as one type: the kind says what failed (and so
// the exit status), the detail says why in words a user can act on.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace scan {

struct Error {
    enum class Kind {
        badArgument,    // a malformed or impossible argument: exit 3
        unreadableFile, // the file cannot be read: exit 2
        unusableImage,  // the file is no usable 64-bit PE image: exit 2
        notFound,       // what was looked for is not there (no unique signature, say): exit 1
        outOfMemory,    // the work needs more memory than the system gives: exit 2
        unwritableFile, // a file asked for cannot be written: exit 2
    };
    Kind kind;
    std::string detail;
};

int exitStatusOf(Error::Kind kind);

// The error as one line says it: the detail, after what the kind means where that adds to it
// ("not a usable PE32+ image: truncated headers ...").
std::string message(const Error& error);

// A value or the error that stopped it.
template <typename T> class Outcome {
public:
    Outcome(T value) : held_(std::move(value)) {}
    Outcome(Error error) : held_(std::move(error)) {}

    explicit operator bool() const { return held_.index() == 0; }
    T& operator*() { return std::get<0>(held_); }
    const T& operator*() const { return std::get<0>(held_); }
    T* operator->() { return &std::get<0>(held_); }
    const T* operator->() const { return &std::get<0>(held_); }
    const Error& error() const { return std::get<1>(held_); }

private:
    std::variant<T, Error> held_;
};

// Done, or refused with the error that says why.
template <> class Outcome<void> {
public:
    Outcome() = default;
    Outcome(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return !error_.has_value(); }
    const Error& error() const { return *error_; }

private:
    std::optional<Error> error_;
};

} // namespace scan
