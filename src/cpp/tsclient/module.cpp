// marvane.TSClient: the client of the remote data service (being built).
#include "common/pyhelpers.hpp"

PYBIND11_MODULE(TSClient, m) {
    (void)m;
}
