// The reader of the key server's pages of events, which velna.event offers
// to the event retrieval module: it reads a page's event objects straight
// into what EventSchema's load makes of them, and declines text that is not
// such a page, so that the general path runs.
#pragma once

#include <pybind11/pybind11.h>

#include "json_text.h"

namespace velna::py {

class EventPages : public json::BodyReader {
 public:
  // The capsule name under which velna.event offers its reader.
  static constexpr const char* kCapsule = "velna.event._pages";

  // A page this reader made: its list of loaded events (borrowed, held by
  // the page), and what to index with "eventId" for the event to go on from
  // (the last item when it is no object, else a mapping of what its
  // "eventId" held).
  struct Read {
    PyObject* events = nullptr;
    pybind11::object last;
  };

  // read_of is the Read of |page| when this reader made |page| as its last
  // page; its events are null otherwise.
  virtual Read read_of(PyObject* page) = 0;

  // load is |schema|.load(|events|) for the loaded events of pages this
  // reader made, joined in order, while that call would be EventSchema's own
  // load; a null object otherwise (the general load must run on the event
  // objects).
  virtual pybind11::object load(pybind11::handle schema, pybind11::handle events) = 0;

 protected:
  ~EventPages() = default;
};

}  // namespace velna::py
