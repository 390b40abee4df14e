// velna.event: the record of one entry of the key server's event log
// (Event), and the schema that loads the server's event objects
// (EventSchema), with the reader that turns pages of events into records.
#include <pybind11/pybind11.h>

#include "event.h"
#include "velna_py.h"

PYBIND11_MODULE(event, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The record of one key-server event and the schema that loads it.";
  velna::event::kept.module = velna::py::keep(m);
  velna::event::bind_Event(m);
  velna::event::bind_EventSchema(m);
  velna::event::bind_pages(m);
}
