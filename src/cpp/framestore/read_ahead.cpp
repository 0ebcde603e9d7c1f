// Stored months read ahead of their merge: a sync reads the months it is about to merge while
// it still fetches them from the service. A month read ahead is used only while the file is
// the very one that was read (same device, inode, size and change times): the store replaces
// a file by renaming a new one onto it, so a write in between shows as another inode.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

py::object file_signature(G g, py::handle file_path) {
    py::object st = g("os").attr("stat")(file_path);
    return py::make_tuple(st.attr("st_dev"), st.attr("st_ino"), st.attr("st_size"), st.attr("st_mtime_ns"),
                          st.attr("st_ctime_ns"));
}

O read_stored_month(G g, O file_path, bool arrow, py::handle days) {
    try {
        py::object before = file_signature(g, file_path);
        py::object table = arrow ? read_arrow_table(g, file_path, days) : py::object(py::none());
        if (table.is_none()) {
            table = read_file(g, file_path);
            table.attr("columns") = stored_dates(g, table.attr("columns"));
        }
        if (!py_equal(file_signature(g, file_path), before)) return py::none();
        return py::make_tuple(before, table);
    } catch (py::error_already_set &) {
        return py::none(); // the merge reads the file itself and meets the error there
    } catch (std::exception &) {
        return py::none();
    }
}

O take_read_ahead(G g, py::handle file_path, py::handle read_ahead) {
    if (read_ahead.is_none()) return py::none();
    try {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(read_ahead);
        if (py_equal(file_signature(g, file_path), pair[0])) return pair[1];
    } catch (py::error_already_set &) {
    }
    return py::none();
}

} // namespace marvane::store
