#include "common/store_names.hpp"

#include <cstring>

namespace marvane::names {

namespace {

bool ascii_digits(const std::string &s, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int number(const std::string &s, std::size_t from, std::size_t count) {
    int n = 0;
    for (std::size_t i = from; i < from + count; ++i) n = n * 10 + (s[i] - '0');
    return n;
}

// A path, str or bytes, as the operating system's bytes.
std::string os_bytes(py::handle os, py::handle value) {
    return os.attr("fsencode")(value).cast<std::string>();
}

} // namespace

std::optional<YearMonth> month_in_name(const std::string &category, const std::string &name) {
    // "<category>_" "YYYY" "-" "MM" ".parquet"
    const std::size_t suffix = std::strlen(kParquetSuffix);
    const std::size_t start = category.size() + 1;
    if (category.empty() || name.size() != start + 7 + suffix) return std::nullopt;
    if (name.compare(0, category.size(), category) != 0 || name[category.size()] != '_')
        return std::nullopt;
    if (!ascii_digits(name, start, 4) || name[start + 4] != '-' || !ascii_digits(name, start + 5, 2) ||
        name.compare(start + 7, suffix, kParquetSuffix) != 0)
        return std::nullopt;
    YearMonth ym{number(name, start, 4), number(name, start + 5, 2)};
    if (ym.year < kFirstYear || ym.year > kLastYear || ym.month < 1 || ym.month > 12)
        return std::nullopt;
    return ym;
}

bool is_temporary(const std::string &name) {
    return name.compare(0, std::strlen(kTemporaryPrefix), kTemporaryPrefix) == 0;
}

py::str month_file_name(py::handle category, py::handle year, py::handle month) {
    PyObject *mm = PyObject_Format(month.ptr(), py::str("02d").ptr());
    if (!mm) throw py::error_already_set();
    return join_text({category, "_", year, "-", py::reinterpret_steal<py::object>(mm), kParquetSuffix});
}

py::str month_file_name(py::handle category, py::handle label) {
    return join_text({category, "_", label, kParquetSuffix});
}

py::str unstack_file_name(py::handle category) { return join_text({category, kParquetSuffix}); }

py::object stored_month(py::handle os, py::handle directory, py::handle category, py::handle name) {
    const std::string text = os_bytes(os, name);
    if (!month_in_name(os_bytes(os, category), text)) return py::none();
    // A directory (or anything else) of that name is not a month file.
    if (!truthy(os.attr("path").attr("isfile")(os.attr("path").attr("join")(directory, name))))
        return py::none();
    const std::size_t start = text.size() - std::strlen(kParquetSuffix) - 7;
    return py::str(text.substr(start, 7));
}

py::list stored_months(py::handle os, py::handle directory, py::handle category) {
    const std::string own = os_bytes(os, category);
    const std::size_t start = own.size() + 1;
    py::list months;
    with_context(os.attr("scandir")(directory), [&](py::object entries) {
        for (py::handle entry : entries) {
            const std::string text = os_bytes(os, entry.attr("name"));
            if (!month_in_name(own, text)) continue;
            // A directory (or anything else) of that name is not a month file; as
            // os.path.isfile, an entry that cannot be looked at is none.
            bool file = false;
            try {
                file = truthy(entry.attr("is_file")());
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
            if (file) months.append(py::str(text.substr(start, 7)));
        }
    });
    months.attr("sort")();
    return months;
}

py::tuple classify(py::handle os, py::handle directory, py::handle category, py::handle name) {
    const std::string text = os_bytes(os, name);
    if (is_temporary(text)) return py::make_tuple("temporary", py::none());
    py::object month = stored_month(os, directory, category, name);
    if (!month.is_none()) return py::make_tuple("month", month);
    if (text == os_bytes(os, unstack_file_name(category))) return py::make_tuple("unstack", py::none());
    return py::make_tuple("other", py::none());
}

} // namespace marvane::names
