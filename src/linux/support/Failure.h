#pragma once

// Failures as values at the GLib boundary: a GError (or an errno, or a check of our own) becomes a
// Failure once, where it happens, and travels up as the value of a Result.

#include "linux/support/GOwned.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>

/// Why something did not work, in one phrase for the log or the user; the GError's domain and
/// code where a GError said it, so that a caller can tell one kind from another.
struct Failure {
    std::string message;
    GQuark domain = 0;
    int code = 0;

    /// The GError as a value. A null error still fails: GLib promises one, but says nothing then.
    static Failure from(const GError* error)
    {
        if (!error)
            return { "unknown error" };
        return { error->message ? error->message : "unknown error", error->domain, error->code };
    }
    bool matches(GQuark errorDomain, int errorCode) const { return domain == errorDomain && code == errorCode; }
};

/// A value, or the failure that stopped it.
template <typename T> class Result {
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {
    }
    Result(Failure failure)
        : m_state(std::in_place_index<1>, std::move(failure))
    {
    }

    explicit operator bool() const { return m_state.index() == 0; }
    T& operator*() { return std::get<0>(m_state); }
    const T& operator*() const { return std::get<0>(m_state); }
    T* operator->() { return &std::get<0>(m_state); }
    const T* operator->() const { return &std::get<0>(m_state); }
    const Failure& failure() const { return std::get<1>(m_state); }

private:
    std::variant<T, Failure> m_state;
};

/// Success, or the failure that stopped it.
template <> class Result<void> {
public:
    Result() = default;
    Result(Failure failure)
        : m_failure(std::move(failure))
    {
    }

    explicit operator bool() const { return !m_failure; }
    const Failure& failure() const { return *m_failure; }

private:
    std::optional<Failure> m_failure;
};
