// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A value, or the error that kept it from being made: what a layer below the front ends
// returns. Each layer has its error type, a code for the program and a text for the operator.

#include <QString>
#include <optional>
#include <utility>
#include <variant>

template <typename Code> struct Error {
    Code code;
    QString text;
};

template <typename Value, typename Failure> class [[nodiscard]] Result {
  public:
    Result(Value value) : m_held(std::move(value)) {}
    Result(Failure failure) : m_held(std::move(failure)) {}

    bool has_value() const { return std::holds_alternative<Value>(m_held); }
    explicit operator bool() const { return has_value(); }
    Value& operator*() { return std::get<Value>(m_held); }
    const Value& operator*() const { return std::get<Value>(m_held); }
    Value* operator->() { return &std::get<Value>(m_held); }
    const Value* operator->() const { return &std::get<Value>(m_held); }
    const Failure& error() const { return std::get<Failure>(m_held); }

  private:
    std::variant<Value, Failure> m_held;
};

// Nothing to hand back but whether it worked: default-made is success.
template <typename Failure> class [[nodiscard]] Result<void, Failure> {
  public:
    Result() = default;
    Result(Failure failure) : m_failure(std::move(failure)) {}

    bool has_value() const { return !m_failure.has_value(); }
    explicit operator bool() const { return has_value(); }
    const Failure& error() const { return *m_failure; }

  private:
    std::optional<Failure> m_failure;
};
