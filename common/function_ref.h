// A reference to one member function of one object, callable through a plain
// function pointer: no allocation, no virtual call, copied by value. It lets an
// engine call into another without knowing its type (the MIDI port into the rack,
// the rack back into the MIDI port). It does not own the object.
#pragma once

template <class Signature>
class FunctionRef;

template <class Result, class... Args>
class FunctionRef<Result(Args...)> {
 public:
  // Detached: bound() is false and the reference must not be called.
  FunctionRef() = default;

  // `Method` of `object`; a null object gives a detached reference.
  template <auto Method, class Object>
  static FunctionRef bind(Object* object) {
    FunctionRef ref;
    if (object != nullptr) {
      ref.object_ = object;
      ref.call_ = [](void* target, Args... args) -> Result {
        return (static_cast<Object*>(target)->*Method)(args...);
      };
    }
    return ref;
  }

  bool bound() const { return object_ != nullptr && call_ != nullptr; }
  Result operator()(Args... args) const { return call_(object_, args...); }

 private:
  void* object_ = nullptr;
  Result (*call_)(void* target, Args... args) = nullptr;
};
