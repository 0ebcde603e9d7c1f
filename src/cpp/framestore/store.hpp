// The operations of ParquetDataManager. Each takes the module's globals first, then the
// method's parameters in order (`self` first for instance methods).
#pragma once

#include "common/pyhelpers.hpp"

namespace marvane::store {

using G = const Globals &;
using O = py::object;

// layout.cpp: construction, paths and existence checks
O init(G g, O self, O root_dir, O max_workers);
O if_exists_unstack_category(G g, O self, O category);
O if_exists_pivot_category(G g, O self, O category);
O get_category_path(G g, O self, O category);
O get_pivot_file_path(G g, O self, O category, O year, O month);
O get_unstack_file_path(G g, O self, O category);

// partitions.cpp: month partition helpers
O gsoi(G g, O choice, O df);
O extract_year_month(G g, O input_string);
O get_pivot_year_month(G g, O self, O category);
O read_parquet(G g, O file_path);

// pivot_merge.cpp / pivot_update.cpp / pivot_read.cpp
O update_pivot_parquet(G g, O file_path, O sub_df, O date_format);
// read_ahead.cpp: a stored month read before its merge, as (file signature, table with day
// labels), or (file signature, Arrow table) when `arrow`, the store's read of the file would
// convert one and the file's days are `days` (the new month's labels; None: not known yet);
// None when it cannot be read now. take_read_ahead: its table while the file is still the one
// read.
O read_stored_month(G g, O file_path, bool arrow, py::handle days);
O take_read_ahead(G g, py::handle file_path, py::handle read_ahead);
// arrow_month.cpp: (day labels, shape) of a stored month read as an Arrow table when it holds
// exactly `month` (float64 days, empty rows dropped), else None (not known).
O unchanged_month(G g, py::handle table, py::handle month);
// month_slots.cpp: held for the length of a month's merge; at most one merge per core (and
// one more) runs at once.
class MonthSlot {
public:
    MonthSlot();
    ~MonthSlot();
    MonthSlot(const MonthSlot &) = delete;
    MonthSlot &operator=(const MonthSlot &) = delete;

private:
    bool held_;
};
// update_pivot_parquet, given what read_stored_month gave for the file (or None).
O update_pivot_month(G g, O file_path, O sub_df, O date_format, O read_ahead);
O update_pivot_category(G g, O self, O df, O category, O strf);
O read_pivot_category(G g, O self, O category, O start_date, O end_date, O column_type);

// unstack.cpp
O update_unstack_category(G g, O self, O category, O sub_df, O key_columns);
O read_unstack_category(G g, O self, O category);
O update_unstack_df(G g, O original_df, O new_data, O key_columns);

// runner.cpp
O run_concurrently(G g, O tasks, O worker_function, O max_workers, O task_desc);

// planning.cpp
O get_download_days(G g, O self, O category, O template_date);

// Shared by the operations above.
// pd.read_parquet of one whole version of the file; any_source: also directories, buffers...
O read_file(G g, O file_path, bool any_source = false);
// The Arrow table read_file's pd.read_parquet would convert, or None when it would not use one
// or (days not None) when the file's day columns are not `days` (arrow_month.cpp's test).
O read_arrow_table(G g, O file_path, py::handle days);
bool stored_days_are(py::handle names, py::handle days, py::handle pd); // arrow_month.cpp
// Refuses, with a ValueError naming the path, an open file whose shape is not a Parquet file's
// (magic bytes, footer length, footer encoding, column data within the file); leaves the file
// at its start.
void check_parquet_file(py::handle file, py::handle path);
void to_parquet_file(G g, py::handle table, py::handle path); // DataFrame.to_parquet(path)
// ValueError naming `path` when the written file `tmp` would not read back: its footer beyond
// what an engine's reader takes, or its row or column count not the table's.
void check_written_parquet(py::handle tmp, py::handle path, std::int64_t rows, std::int64_t columns);
// `table` written to `path` atomically, read back (its footer) before it replaces the file.
void write_store_file(G g, py::handle table, py::handle path);
// arrow_write.cpp: the Arrow table pandas' to_parquet would write under pyarrow for a plain
// month of float64 days (text labels on both axes), or None for any other table.
O float_month_table(G g, py::handle table);
O drop_empty_rows(O table);         // rows with at least one non-null cell
O drop_empty_rows(O table, bool float64); // the same, told whether all_float64(table)
O stored_dates(G g, O labels);      // pd.to_datetime of column labels read from a file
bool is_iso_day(py::handle text);   // a str of the form "YYYY-MM-DD" (digits, any values)
// pd.to_datetime of a table's column labels; ValueError naming a label that is a number or
// whose day lies outside the years a month file name can hold.
O day_labels(G g, O labels);
bool all_float64(py::handle table); // every column a plain float64 column
// Hands the memory Arrow's pool keeps for later use back to the system (when pyarrow is loaded).
void release_arrow_memory();
O store_class(G g);                 // ParquetDataManager, through the module global
// TypeError naming the parameter unless value is a DataFrame (a subclass counts).
void require_frame(G g, py::handle value, const char *name);
// ValueError when an object column or the index holds cells nested too deep to be written.
void require_storable(py::handle table);

} // namespace marvane::store
