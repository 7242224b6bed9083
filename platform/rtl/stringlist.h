// String lists: strings with an attached object or integer each, in insertion order.
// Entries of the form "name=value" can be read by name. Indexes outside the list raise
// EListError ("List index out of bounds (%d)").
#pragma once

#include "platform/rtl/component.h"

#include <cstdint>
#include <string>
#include <vector>

class TStrings : public TPersistent {
 public:
  virtual int Count() const = 0;
  virtual const std::string& Strings(int index) const = 0;
  virtual void PutString(int index, const std::string& s) = 0;
  // The attached object as a pointer or as an integer (the same stored bits).
  virtual void* Objects(int index) const = 0;
  virtual void PutObject(int index, void* object) = 0;
  virtual void Insert(int index, const std::string& s) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  const std::string& operator[](int index) const { return Strings(index); }
  std::intptr_t ObjectInt(int index) const { return reinterpret_cast<std::intptr_t>(Objects(index)); }
  void PutObjectInt(int index, std::intptr_t value) { PutObject(index, reinterpret_cast<void*>(value)); }

  // Append; return the new position.
  int Add(const std::string& s);
  int AddObject(const std::string& s, void* object);
  int AddObjectInt(const std::string& s, std::intptr_t value);
  void InsertObject(int index, const std::string& s, void* object);
  void AddStrings(const TStrings& other);
  // Replaces the contents with a copy of other's strings and objects.
  void Assign(const TStrings& other);

  // First position of the string (case-insensitive, as the toolkit compares), or -1.
  int IndexOf(const std::string& s) const;
  // First position of the object, or -1.
  int IndexOfObject(const void* object) const;
  // First position whose name part ("name" of "name=value") equals name (case-insensitive).
  int IndexOfName(const std::string& name) const;
  // The part before the first '=', or "" when the entry has none.
  std::string Names(int index) const;
  // The part after the first '=', or "" when the entry has none.
  std::string ValueFromIndex(int index) const;
  // The value of the first entry named name, or "".
  std::string Values(const std::string& name) const;
  // Sets the entry named name to name=value (appending it when absent; "" deletes it).
  void SetValue(const std::string& name, const std::string& value);

  // All strings, each followed by "\n"; SetText splits at "\n" (a "\r" before it is dropped).
  std::string Text() const;
  void SetText(const std::string& text);
  // Strings joined by the delimiter.
  std::string Join(const std::string& delimiter) const;
};

class TStringList : public TStrings {
 public:
  TStringList() = default;
  ~TStringList() override = default;

  int Count() const override { return int(items_.size()); }
  const std::string& Strings(int index) const override;
  void PutString(int index, const std::string& s) override;
  void* Objects(int index) const override;
  void PutObject(int index, void* object) override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;
  // Swaps two entries (strings with their objects).
  void Exchange(int a, int b);

  // Raised after every change (not while an update is open).
  TNotifyEvent OnChange;
  void BeginUpdate() { ++updating_; }
  void EndUpdate();

 private:
  struct Item {
    std::string s;
    void* object = nullptr;
  };
  void Check(int index) const;
  void Changed();
  std::vector<Item> items_;
  int updating_ = 0;
  bool pendingChange_ = false;
};
