// The two ways of eliminating packed rows, for the tests and the benchmark
// that hold them against each other. Both give the same matrix and log;
// `echelon_form` and `row_echelon_full_matrix` choose by shape.
#pragma once

#include "matrix/matrix.hpp"

namespace zendrik {

enum class Elimination {
    stepwise,  // one whole-row addition at a time
    blocked,   // 64 columns at a time, whole rows updated once per block
               // (stepwise all the same past 2^32 rows, for the log's narrow entries)
};

// Matrices that are not packed (ragged, or bytes other than 0 and 1) are
// reduced byte by byte whatever `how` says.
EchelonResult echelon_form(const Matrix& m, Elimination how);
EchelonResult row_echelon_full_matrix(const Matrix& m, Elimination how);

}  // namespace zendrik
