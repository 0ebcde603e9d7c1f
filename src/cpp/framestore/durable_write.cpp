// The crash-safe write of a store file, and the clean-up of temporaries that a killed writer
// left behind.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/durable_write.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iomanip>
#include <random>
#include <sstream>
#include <sys/types.h>
#include <unistd.h>

namespace marvane {

namespace {

void fsync_path(const std::string &path, bool directory) {
    // The flush waits for the disk: other threads (the other months' tasks) run meanwhile.
    int fd, rc = 0, err = 0;
    {
        py::gil_scoped_release nogil;
        fd = ::open(path.c_str(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
        if (fd < 0) {
            err = errno;
        } else {
            rc = ::fsync(fd);
            err = errno;
            ::close(fd);
        }
    }
    if (fd < 0 || rc != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
}

std::atomic<unsigned long> tmp_counter{0};

// A path as the operating system takes it (os.fsencode: undecodable bytes survive).
std::string native_path(py::handle path) {
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// The pid in a temporary name ".marvane-tmp-<pid>-<n>-<random hex>" (or the older
// ".marvane-tmp-<pid>-<n>"), or 0 when the name is not one.
pid_t temporary_owner(const char *name) {
    if (!names::is_temporary(name)) return 0;
    const char *p = name + std::strlen(names::kTemporaryPrefix);
    char *end = nullptr;
    errno = 0;
    long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || errno != 0 || pid <= 0) return 0;
    const char *q = end + 1;
    const char *digits = q;
    while (*q >= '0' && *q <= '9') ++q;
    if (q == digits) return 0;
    if (*q == '-') {
        const char *hex = ++q;
        while ((*q >= '0' && *q <= '9') || (*q >= 'a' && *q <= 'f')) ++q;
        if (q == hex) return 0;
    }
    return *q == '\0' ? static_cast<pid_t>(pid) : 0;
}

// A fresh, empty temporary file in `directory`, created exclusively: O_EXCL|O_NOFOLLOW never
// opens what already stands under the name (a planted symlink included), and the random part
// makes the name unpredictable. The directory itself is followed (a category directory may
// be a link the user made). Returns the temporary's path as Python sees it.
py::str create_temporary(py::handle os, py::handle directory) {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
        std::ostringstream name;
        name << names::kTemporaryPrefix << ::getpid() << "-" << tmp_counter.fetch_add(1) << "-" << std::hex;
        for (int i = 0; i < 2; ++i) name << std::setw(8) << std::setfill('0') << random();
        py::str tmp = os.attr("path").attr("join")(directory, py::str(name.str()));
        const std::string native = native_path(tmp);
        int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return tmp;
        }
        if (errno != EEXIST || attempt >= 16) {
            int err = errno;
            // OSError picks the subclass of the errno (NotADirectoryError, PermissionError...);
            // the directory is what the error is about, not the name tried in it.
            raise_error(py::module_::import("builtins").attr("OSError")(err, std::strerror(err), directory));
        }
    }
}

// A writer killed between creating its temporary file and the rename leaves the temporary
// behind. Readers never take it for a stored file (its name neither ends in ".parquet" nor
// holds a year-month group); the next write in the directory removes those whose process no
// longer runs. Temporaries of running processes (this one's other threads included) are left
// alone. Best effort: a failure here never fails the write.
void remove_dead_temporaries(const std::string &dir) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) return;
    const pid_t self = ::getpid();
    while (dirent *entry = ::readdir(d)) {
        pid_t owner = temporary_owner(entry->d_name);
        if (owner == 0 || owner == self) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue; // running, or not ours to judge
        ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::closedir(d);
}

} // namespace

void write_atomically(const Globals &g, py::handle path,
                      const std::function<void(py::str tmp)> &write) {
    py::object os = g("os");
    py::str final_path = py::str(os.attr("fspath")(path));
    py::str directory = os.attr("path").attr("dirname")(final_path);
    // The temporary name neither ends in ".parquet" nor carries a year-month group, so no
    // reader or listing of the store takes it for a stored file.
    std::string dir = native_path(directory);
    if (dir.empty()) dir = ".";
    remove_dead_temporaries(dir);
    py::str tmp = create_temporary(os, directory);
    const std::string tmp_native = native_path(tmp);
    try {
        write(tmp);
        fsync_path(tmp_native, false);
        os.attr("replace")(tmp, final_path);
    } catch (py::error_already_set &e) {
        ::unlink(tmp_native.c_str()); // best effort; the original error wins
        // Writers such as the Parquet one report a full disk without a file name; name the
        // file that could not be written (not the temporary, which is gone). An error without
        // an errno keeps its own message.
        if (e.matches(PyExc_OSError) && e.value().attr("filename").is_none() &&
            !e.value().attr("errno").is_none())
            e.value().attr("filename") = final_path;
        throw;
    } catch (...) {
        ::unlink(tmp_native.c_str());
        throw;
    }
    fsync_path(dir, true);
}

} // namespace marvane
