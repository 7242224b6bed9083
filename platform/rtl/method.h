// Method callbacks: "a code address plus an object", as the toolkit's events are.
//
// TMethod<R(A...)> binds a member function to an object (MakeMethod(obj, &Class::Method)) or
// a plain function to a data pointer (TMethod::FromFunction). Two callbacks are equal when
// both the code and the object are the same: the same method of another object is a
// different callback, which is what a notify list needs to find and remove entries.
// A default-constructed callback is unassigned; calling it raises Exception.
#pragma once

#include "platform/rtl/exceptions.h"

#include <cstring>
#include <type_traits>

template <class Sig>
class TMethod;

template <class R, class... A>
class TMethod<R(A...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}

  // obj->*method; Obj may be a class derived from the method's class.
  template <class Obj, class C>
    requires std::is_base_of_v<C, Obj>
  TMethod(Obj* obj, R (C::*method)(A...)) {
    Bind<C, R (C::*)(A...)>(static_cast<C*>(obj), method);
  }
  template <class Obj, class C>
    requires std::is_base_of_v<C, Obj>
  TMethod(Obj* obj, R (C::*method)(A...) const) {
    Bind<C, R (C::*)(A...) const>(static_cast<C*>(obj), method);
  }

  // fn(data, args...): for callbacks that are not members (tests, C-style glue).
  static TMethod FromFunction(R (*fn)(void* data, A...), void* data) {
    TMethod m;
    std::memcpy(m.code_, &fn, sizeof fn);
    m.data_ = data;
    m.invoke_ = &InvokeFunction;
    return m;
  }

  bool Assigned() const { return invoke_ != nullptr; }
  explicit operator bool() const { return Assigned(); }
  // The bound object (null for an unassigned callback).
  void* Data() const { return data_; }

  R operator()(A... args) const {
    if (!invoke_) throw Exception("Call of an unassigned method");
    return invoke_(code_, data_, static_cast<A&&>(args)...);
  }

  friend bool operator==(const TMethod& a, const TMethod& b) {
    return a.invoke_ == b.invoke_ && a.data_ == b.data_ && std::memcmp(a.code_, b.code_, sizeof a.code_) == 0;
  }
  friend bool operator==(const TMethod& a, std::nullptr_t) { return !a.invoke_; }

  // Same code, whatever the object.
  bool SameCode(const TMethod& other) const {
    return invoke_ == other.invoke_ && std::memcmp(code_, other.code_, sizeof code_) == 0;
  }

 private:
  using Invoker = R (*)(const unsigned char* code, void* data, A&&... args);
  static constexpr std::size_t kCodeSize = 2 * sizeof(void*);

  template <class C, class M>
  void Bind(C* obj, M method) {
    static_assert(sizeof(M) <= kCodeSize, "member pointer too large");
    std::memset(code_, 0, sizeof code_);
    std::memcpy(code_, &method, sizeof method);
    data_ = const_cast<std::remove_const_t<C>*>(obj);
    invoke_ = &InvokeMember<C, M>;
  }
  template <class C, class M>
  static R InvokeMember(const unsigned char* code, void* data, A&&... args) {
    M method;
    std::memcpy(&method, code, sizeof method);
    return (static_cast<C*>(data)->*method)(static_cast<A&&>(args)...);
  }
  static R InvokeFunction(const unsigned char* code, void* data, A&&... args) {
    R (*fn)(void*, A...);
    std::memcpy(&fn, code, sizeof fn);
    return fn(data, static_cast<A&&>(args)...);
  }

  alignas(void*) unsigned char code_[kCodeSize] = {};
  void* data_ = nullptr;
  Invoker invoke_ = nullptr;
};

template <class Obj, class C, class R, class... A>
  requires std::is_base_of_v<C, Obj>
TMethod<R(A...)> MakeMethod(Obj* obj, R (C::*method)(A...)) {
  return TMethod<R(A...)>(obj, method);
}
template <class Obj, class C, class R, class... A>
  requires std::is_base_of_v<C, Obj>
TMethod<R(A...)> MakeMethod(Obj* obj, R (C::*method)(A...) const) {
  return TMethod<R(A...)>(obj, method);
}
