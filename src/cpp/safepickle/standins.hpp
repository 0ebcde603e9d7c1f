// The load step's stand-ins: what the pickle machine gets for each global of the allow-list
// (a stand-in class), and what calling one makes (a pending node, recording the call). Nothing
// real is made while the pickle machine runs.
#pragma once

#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

namespace marvane::safepickle {

// A call the pickle asked for, not made yet.
struct PendingObject {
    PyObject_HEAD
    const Rule *rule;
    PyObject *args;   // tuple
    PyObject *kwargs; // dict or null
    PyObject *states; // list or null
    PyObject *built;  // the real object, once built
    int building;
};

// Makes the pending type and the stand-ins' base, once per process.
void make_types();

// `obj` as a pending node, or null when it is none.
PendingObject *as_pending(py::handle obj);

// pickle.Unpickler with a find_class that returns stand-ins, or refuses the global.
py::object unpickler_class();

} // namespace marvane::safepickle
