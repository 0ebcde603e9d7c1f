// The Arrow table that pandas' to_parquet writes for a month of float64 days, built from the
// values directly. pandas' own route takes every column through a Series of its own and starts
// a thread pool per call, all under the interpreter lock, which costs about as much as the
// rest of a month's merge; the months of a sync are written on several threads at once. The
// file is the same to the byte: the same arrays, the same schema, and pyarrow's own pandas
// metadata, made for the table's first cell and extended to every column (pyarrow describes
// each float64 column alike but for its name). Anything else is written by pandas as always.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

#include <string>

namespace marvane::store {

namespace {

// pandas' to_parquet as pandas defines it: neither the method, nor the function it calls,
// nor its writer replaced.
bool pandas_writer(py::handle table) {
    py::object io = py::module_::import("sys").attr("modules").attr("get")("pandas.io.parquet");
    if (io.is_none()) return false;
    py::object impl = py::getattr(io, "PyArrowImpl", py::none());
    return defined_as(py::type::of(table).attr("to_parquet"), "pandas.core.frame", "DataFrame.to_parquet") &&
           defined_as(py::getattr(io, "to_parquet", py::none()), "pandas.io.parquet", "to_parquet") &&
           !impl.is_none() && defined_as(py::getattr(impl, "write", py::none()), "pandas.io.parquet", "PyArrowImpl.write");
}

// A frame of float64 columns labelled by distinct texts, with rows labelled by texts (a plain
// Index, no missing label) and nothing in its attrs: a month as the store writes it.
bool plain_float_month(G g, py::handle table) {
    py::object pd = g("pd");
    if (!py::type::of(table).is(pd.attr("DataFrame")) || py::len(table.attr("attrs")) > 0) return false;
    py::object index = table.attr("index"), columns = table.attr("columns");
    if (!py::type::of(index).is(pd.attr("Index")) || !py::type::of(columns).is(pd.attr("Index"))) return false;
    if (py::len(index) == 0 || py::len(columns) == 0) return false;
    if (!py_equal(index.attr("inferred_type"), py::str("string"))) return false;
    for (py::handle label : columns)
        if (!PyUnicode_CheckExact(label.ptr())) return false;
    return truthy(columns.attr("is_unique")) && all_float64(table);
}

} // namespace

O float_month_table(G g, py::handle table) {
    if (!plain_float_month(g, table) || !pandas_writer(table)) return py::none();
    try {
        py::object pa = py::module_::import("pyarrow");
        py::object json = py::module_::import("json");
        const auto first = py::slice(0, 1, 1);
        py::object cell = table.attr("iloc")[py::make_tuple(first, first)];
        py::object made = pa.attr("Table").attr("from_pandas")(cell, "nthreads"_a = 1);
        py::object schema = made.attr("schema");
        py::dict metadata = py::dict(schema.attr("metadata"));
        py::bytes key("pandas");
        if (!metadata.contains(key)) return py::none();
        py::dict description = json.attr("loads")(metadata[key]);
        py::list described = description["columns"];
        py::list field_names = schema.attr("names");
        py::object columns = table.attr("columns");
        // The first cell's table: its one day column, then its one index column.
        if (py::len(described) != 2 || py::len(field_names) != 2 ||
            py::len(description["index_columns"]) != 1 || !py::isinstance<py::dict>(described[0]) ||
            !py_equal(py::dict(described[0]).attr("get")("field_name"), columns[py::int_(0)]) ||
            !py_equal(field_names[0], columns[py::int_(0)]))
            return py::none();
        py::dict day = described[0];
        py::list entries, arrays, names;
        py::object values = py::module_::import("numpy").attr("asfortranarray")(table.attr("to_numpy")("dtype"_a = "float64"));
        const auto all = py::slice(py::none(), py::none(), py::none());
        std::size_t j = 0;
        for (py::handle label : columns) {
            py::dict entry = day.attr("copy")();
            entry["name"] = label;
            entry["field_name"] = label;
            entries.append(entry);
            arrays.append(pa.attr("array")(values[py::make_tuple(all, j++)], "from_pandas"_a = true));
            names.append(label);
        }
        entries.append(described[1]);
        py::object index_type = schema.attr("field")(1).attr("type");
        arrays.append(pa.attr("array")(table.attr("index"), "type"_a = index_type, "from_pandas"_a = true));
        names.append(field_names[1]);
        description["columns"] = entries;
        metadata[key] = json.attr("dumps")(description).attr("encode")("utf8");
        return pa.attr("Table").attr("from_arrays")(arrays, "names"_a = names).attr("replace_schema_metadata")(metadata);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw; // an interrupt is not an answer
        return py::none(); // pandas writes it, and meets whatever this met
    }
}

} // namespace marvane::store
