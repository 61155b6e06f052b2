// The root of the system's exceptions: a message text.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    ~Exception() override = default;

    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }
    // The class name, for texts that name the kind of failure.
    virtual const char* ClassName() const { return "Exception"; }

private:
    std::string FMessage;
};

// Declares an exception class deriving from `Base` with the given name.
#define DECLARE_EXCEPTION_CLASS(Name, Base)                                                        \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const override { return #Name; }                                   \
    };
