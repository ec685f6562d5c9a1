// field_store.h - the interface through which windows save and load fields.
//
// A window describes its fields once, as a series of transfer() calls with
// the field's name and a Var, and arrays of records between begin_array()
// and end_array(). The same description then stores the fields (storing
// mode: the Var's value is written) or loads them (loading mode: the Var
// receives the stored value, and keeps its own when the store has none).
// The glob file (project and settings files) and the registry store
// implement it; the caller that chooses the direction sets storing().
//
// Not for: walking more than the first element of an array (the glob
// file's own operations do that).
//
// Failures: transfer() is false when a value could not be written (storing)
// or was not found (loading); a store without arrays answers begin_array()
// with false and ignores end_array().
#pragma once

#include "core/string.h"
#include "core/var.h"

namespace tessaline {

class FieldStore {
 public:
  virtual ~FieldStore() = default;

  virtual void end_array() = 0;
  virtual bool transfer(const String& name, Var& value) = 0;
  virtual bool begin_array(const String& name) = 0;

  bool storing() const { return storing_; }
  void set_storing(bool on) { storing_ = on; }

 protected:
  bool storing_ = false;
};

}  // namespace tessaline
