// The text of what a job threw, for the box that reports it.
#pragma once

#include <exception>
#include <string>

namespace tandrel::ui {

// The message of `failure`, or `unknown` for something that is no
// std::exception.
inline std::string FailureText(const std::exception_ptr& failure, const char* unknown)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return unknown;
    }
}

}  // namespace tandrel::ui
