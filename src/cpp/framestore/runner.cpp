// The thread-pool runner: one call of a worker per task, results in completion order.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

O run_concurrently(G g, O tasks, O worker_function, O max_workers, O task_desc) {
    py::list results;
    py::object pool = g("ThreadPoolExecutor")("max_workers"_a = max_workers);
    with_context(pool, [&](py::object executor) {
        // Every task is submitted before any result is collected.
        py::dict future_to_task;
        py::object submit = executor.attr("submit");
        for (py::handle task : tasks) {
            py::list call_args;
            call_args.append(worker_function);
            for (py::handle a : task) call_args.append(a);
            future_to_task[submit(*call_args)] = task;
        }
        py::object futures_iterator =
            g("tqdm")(g("as_completed")(future_to_task), "total"_a = py::len(future_to_task),
                      "desc"_a = task_desc);
        for (py::handle future : futures_iterator) results.append(future.attr("result")());
    });
    return results;
}

} // namespace marvane::store
