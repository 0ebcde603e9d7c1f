// The names of the store's files, in one place: the month file and unstack file of a
// category, the prefix of temporary files, and the test that tells a category's own month
// files from anything else found in its directory. The writers, the readers, the listings
// and `python -m marvane info` all go through here, so what one writes the others recognise.
#pragma once

#include "common/pyhelpers.hpp"

#include <optional>
#include <string>

namespace marvane::names {

// Temporary files of a write start with this; they never end in ".parquet".
inline constexpr char kTemporaryPrefix[] = ".marvane-tmp-";
inline constexpr char kParquetSuffix[] = ".parquet";

// The years a month file name can carry: four digits, the first not 0. A day outside them
// has no month file the store would recognise.
inline constexpr int kFirstYear = 1000;
inline constexpr int kLastYear = 9999;

struct YearMonth {
    int year;
    int month;
};

// The month of "<category>_YYYY-MM.parquet": ASCII digits, a year kFirstYear..kLastYear, a
// month 01-12, nothing before or after. Names and category are compared as the operating
// system's bytes (os.fsencode).
std::optional<YearMonth> month_in_name(const std::string &category, const std::string &name);
bool is_temporary(const std::string &name);

// "<category>_<year>-<MM>.parquet": category and year as str() shows them, the month as two
// digits (formatted with "02d"; a month that does not take it raises ValueError).
py::str month_file_name(py::handle category, py::handle year, py::handle month);
// "<category>_<label>.parquet" for a "YYYY-MM" label.
py::str month_file_name(py::handle category, py::handle label);
// "<category>.parquet".
py::str unstack_file_name(py::handle category);

// "YYYY-MM" when the entry `name` of `directory` is a month file of `category` (the name
// passes month_in_name and the entry is a regular file, symbolic links followed); None
// otherwise. `os` is the os module the caller works with.
py::object stored_month(py::handle os, py::handle directory, py::handle category, py::handle name);

// "YYYY-MM" of every month file of `category` in `directory`, ascending: the entries for which
// stored_month answers, told from one listing of the directory (its entries' types come with
// it, so only links cost a look at what they point to).
py::list stored_months(py::handle os, py::handle directory, py::handle category);

// What an entry of a category directory is: ("temporary", None), ("month", "YYYY-MM"),
// ("unstack", None) or ("other", None).
py::tuple classify(py::handle os, py::handle directory, py::handle category, py::handle name);

} // namespace marvane::names
