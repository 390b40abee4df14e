// The reader of the key server's pages of events, which velna.event offers
// to the event retrieval module: it decodes a page's event objects straight
// into Event records, exactly as EventSchema would load them, and declines
// anything unusual so that the general path runs.
#pragma once

#include <pybind11/pybind11.h>

#include "json_text.h"

namespace velna::py {

class EventPages : public json::BodyReader {
 public:
  // The capsule name under which velna.event offers its reader.
  static constexpr const char* kCapsule = "velna.event._pages";

  // records_of is the list of Event records of |page| (borrowed, held by
  // |page|) when this reader made |page| as its last page, else null.
  virtual PyObject* records_of(PyObject* page) = 0;

  // load is |schema|.load(|records|) for records this reader made, while
  // that call would be EventSchema's own load of such records; a null
  // object otherwise (the general load must run on the event objects).
  virtual pybind11::object load(pybind11::handle schema, pybind11::handle records) = 0;

 protected:
  ~EventPages() = default;
};

}  // namespace velna::py
