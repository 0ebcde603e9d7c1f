// timing_decorator: callers wrap their own functions to have each call's duration printed.
#include "common/pyfunction.hpp"
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"
#include "tsclient/texts.hpp"

namespace marvane::client {

O timing_decorator(G g, O func) {
    // A new wrapper per decorated function; it closes over func alone.
    return make_varargs_function(
        g, "wrapper", "timing_decorator.<locals>.wrapper",
        [func](const Globals &g, py::args args, py::kwargs kwargs) -> py::object {
            py::object start_time = g("time").attr("time")();
            py::object result = func(*args, **kwargs);
            py::object end_time = g("time").attr("time")();
            py::object elapsed = end_time - start_time;
            PyObject *seconds = PyObject_Format(elapsed.ptr(), py::str(".3f").ptr());
            if (!seconds) throw py::error_already_set();
            print_line(g, {texts::call_timed(func.attr("__name__"), py::reinterpret_steal<py::object>(seconds))});
            return result;
        });
}

} // namespace marvane::client
