// Every text a caller of marvane.FrameStore sees, in one place: the docstrings of
// ParquetDataManager, the lines its operations print, the labels of their progress bars and
// the messages of the errors they raise. The operation files refer to them by name; a line
// made of values is built here from its pieces, exactly as it is printed.
#pragma once

#include "common/pyhelpers.hpp"

#include <string>

namespace marvane::store::texts {

// ---- docstrings (nullptr in the method table: __doc__ is None)

inline constexpr char kInitDoc[] = "Initialize with the root directory to store all parquet files.";
inline constexpr char kGetCategoryPathDoc[] =
    "Create and return the directory path for a specific category, optionally with year and month.";
inline constexpr char kGetPivotFilePathDoc[] =
    "Generate the full file path for a parquet file based on category, year, and month.";
inline constexpr char kGetUnstackFilePathDoc[] =
    "Generate the full file path for a parquet file based on category.";
inline constexpr char kUpdatePivotCategoryDoc[] = "\n        多线程更新pivot类型的数据\n        ";
inline constexpr char kReadPivotCategoryDoc[] = "Read all dataframes from a specific category.";
inline constexpr char kUpdateUnstackCategoryDoc[] = "\n        更新unstack数据\n        ";
inline constexpr char kUpdatePivotParquetDoc[] = R"(
        更新或创建一个Parquet文件。
        针对某一分区下的Parquet数据进行更新
        参数:
        - file_path: str，Parquet文件的存储路径。
        - sub_df: pd.DataFrame，要合并或存储的新DataFrame。
        - date_format: str，日期列的格式字符串，默认为'%Y-%m-%d'。

        如果Parquet文件存在，函数会尝试合并旧数据和新数据。
        如果列名或数据有差异，合并后的数据将被存储回同一文件。
        如果文件不存在，sub_df将直接保存为新文件。
        )";

// ---- results and progress labels

// GSOI's answer to a choice that is neither 1 nor 0 (returned, not raised).
inline constexpr char kInvalidChoice[] = "Invalid input. Please enter 1 for columns or 0 for index.";
// run_concurrently's default progress label.
inline constexpr char kDefaultTaskDesc[] = "Processing tasks";

// The progress label of a pivot category's update, one task per month.
inline py::str updating_desc(py::handle category) { return join_text({"Updating ", category}); }

// The progress label of a pivot category's read.
inline py::str reading_desc(py::handle category, py::handle start, py::handle end) {
    return join_text({"Reading ", category, " From ", start, " To ", end, ": "});
}

// ---- printed lines

// A month file written for the first time.
inline py::str month_created(py::handle path, py::handle shape, py::handle first, py::handle last) {
    return join_text({path, ": Initializing: Shape ", shape, " From ", first, " To ", last});
}
// A stored month merged with new data and written again (two spaces before "From").
inline py::str month_updated(py::handle path, py::handle first, py::handle last, py::handle shape) {
    return join_text({path, ": UpdatingDF  From ", first, " To ", last, " Total Shape ", shape});
}
// A stored month the new data would not change.
inline py::str month_identical(py::handle path, py::handle first, py::handle last, py::handle shape) {
    return join_text({path, ": Dataframes are identical. From ", first, " To ", last, " Total Shape ", shape});
}

// A pivot category without month files; `months` is the list of the months asked for.
inline py::str category_missing(py::handle category, py::handle months) {
    return join_text({"数据不存在 ", category, ": ", months, " 数据不存在"});
}

inline py::str unstack_created(py::handle path) { return join_text({path, ": 初始化 Unstack Parquet"}); }
inline py::str unstack_updated(py::handle path) { return join_text({path, ": 更新 Unstack Parquet"}); }
inline py::str unstack_identical(py::handle path) {
    return join_text({path, ": No need to combine, dataframes are identical."});
}

// ---- errors

// A range that selects no month of a category holding month files (ValueError).
inline constexpr char kReadFailed[] = "读取失败";

// What an existing path that is not a regular file is, where a stored file should be.
inline constexpr char kIsDirectory[] = "Is a directory";
inline constexpr char kNotRegularFile[] = "Not a regular file";
// NotADirectoryError: something other than a directory stands where a category's is.
inline constexpr char kCategoryNotDirectory[] = "the category path is not a directory";

// The notes added to a reader's own error, naming the stored file it concerns.
inline py::str labels_not_dates_note(py::handle path) {
    return join_text({"column labels of the stored file ", path, " are not dates"});
}
inline py::str while_reading_note(py::handle path) {
    return join_text({"while reading the stored file ", path});
}

// TypeError: a table parameter given something else.
inline std::string not_a_frame(const char *parameter, py::handle value) {
    return std::string(parameter) + " must be a pandas DataFrame, not " +
           std::string(py::str(py::type::of(value).attr("__qualname__")));
}

// ValueError: a cell of a column (or of the index) nested deeper than the writer can store.
inline std::string nested_too_deep(const std::string &where, int max_levels) {
    return where + " holds a value nested more than " + std::to_string(max_levels) +
           " levels deep, which the Parquet writer cannot store";
}

// ValueError: a column label that cannot be a stored day.
inline std::string label_is_number(py::handle label) {
    return "the column label " + std::string(py::str(py::repr(label))) +
           " is a number, not a date: give days as dates, timestamps or texts such as '2024-01-05'";
}
inline std::string label_year_outside(py::handle label, py::handle year, int first_year, int last_year) {
    return "the column label " + std::string(py::str(py::repr(label))) + " falls in the year " +
           std::string(py::str(year)) + ": stored days must lie in the years " + std::to_string(first_year) +
           " to " + std::to_string(last_year);
}

// TypeError / ValueError: a category name that is not one plain path component.
inline std::string category_not_str(py::handle category) {
    return "category must be str, not " + std::string(py::str(py::type::of(category).attr("__name__")));
}
inline std::string category_invalid(py::handle category) {
    return "invalid category name " + std::string(py::repr(category)) +
           ": a category must be one plain path component";
}
inline std::string category_not_text(py::handle category) {
    return "invalid category name " + std::string(py::repr(category)) + ": a category must be valid text";
}

// ValueError: an unstack update without key columns.
inline constexpr char kNoKeyColumns[] =
    "key_columns names no column: give the columns whose values identify a record";

} // namespace marvane::store::texts
