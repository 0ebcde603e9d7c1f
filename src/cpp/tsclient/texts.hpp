// Every text a caller of marvane.TSClient sees, in one place: the lines its operations print
// and the messages of the errors they raise (the validating reader of remote values keeps its
// own refusals beside its rules). The operations carry no docstrings. A line made of values is
// built here from its pieces, exactly as it is printed.
#pragma once

#include "common/pyhelpers.hpp"

#include <string>

namespace marvane::client::texts {

// ---- printed lines

// Construction: the save directory was made, or was already there.
inline py::str saving_dir_created(py::handle path) { return join_text({"Creating Saving Dir: ", path}); }
inline py::str saving_dir_found(py::handle path) { return join_text({"Found Saving Dir: ", path}); }

// The login: the fastest host and its latency in milliseconds, then the account once the
// chosen host answers.
inline py::str host_chosen(py::handle host, py::handle latency) {
    return join_text({"Tessel ", host, " | Ping: ", latency, "ms"});
}
inline py::str auth_succeeded(py::handle account) { return join_text({"Auth Succeeded: ", account}); }

// A pivot sync with nothing to fetch, over a category the local store holds.
inline py::str latest_date(py::handle category, py::handle last) {
    return join_text({category, " are Latest Date: ", last});
}

// The line of a call wrapped by timing_decorator; `seconds` is already formatted.
inline py::str call_timed(py::handle name, py::handle seconds) {
    return join_text({name, " Running: ", seconds, " Seconds"});
}

// ---- errors

// The missing-key error's message.
inline py::str no_such_key(py::handle key) { return join_text({"the remote store has no key ", py::repr(key)}); }

// TypeError for a date argument that is not a str; the caller cuts each name to at most 200
// characters.
inline py::str wrong_argument_type(py::handle argument, py::handle expected, py::handle got) {
    return py::str("Argument '{}' has incorrect type (expected {}, got {})").format(argument, expected, got);
}

// TypeError: a fetched value that is not a table.
inline std::string not_a_table(py::handle key, py::handle type_name) {
    return std::string(join_text({"the value of the remote key ", py::repr(key), " is a ", type_name,
                                  ", not a pandas DataFrame"}));
}

// ValueError: a served pivot month whose rows are not named by text.
inline std::string rows_not_text(py::handle key, py::handle index_type, py::handle dtype) {
    return std::string(join_text({"the value of the remote key ", py::repr(key), " has row labels of dtype ", py::str(dtype),
                                  " (", index_type, "), not the text of instrument identifiers"}));
}

// ValueError: a served table holding values no Parquet engine stores (complex numbers).
inline std::string not_storable(py::handle key, py::handle where, const char *what) {
    return std::string(join_text({"the value of the remote key ", py::repr(key), " holds ", what, " in ", where,
                                  ", which no Parquet engine stores"}));
}

// ValueError: a pivot sync whose range neither the service nor the local store holds.
inline std::string nothing_to_update(py::handle category, py::handle start, py::handle end) {
    return std::string(join_text({"nothing to update for ", category, ": the data service has no month of ",
                                  start, " to ", end, " and the local store holds no month of it either"}));
}

} // namespace marvane::client::texts
