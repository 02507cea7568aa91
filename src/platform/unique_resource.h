// A move-only owner for an operating-system resource, made from one template that names the
// resource's close function. Closing keeps the thread's last error as it was, so an error path
// can release what it holds and still report the code of the call that failed.
#pragma once
#include <utility>

#include "platform/last_error.h"

namespace platform {

// Traits: `using Type = ...; static Type invalid(); static bool isValid(Type); static void close(Type);`
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() : value_(Traits::invalid()) {}
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return value_; }
    bool valid() const { return Traits::isValid(value_); }
    explicit operator bool() const { return valid(); }

    Type release() {
        Type v = value_;
        value_ = Traits::invalid();
        return v;
    }
    void reset(Type value = Traits::invalid()) {
        if (Traits::isValid(value_)) {
            LastErrorKeeper keep;
            Traits::close(value_);
        }
        value_ = value;
    }

private:
    Type value_;
};

}  // namespace platform
