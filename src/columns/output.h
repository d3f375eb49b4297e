// Where encode writes: a float64 matrix of one row per value (any strides),
// or for the simple categorical kind an int64 pair of ids and offsets.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "refs.h"

namespace columns {

using bucket::Ref;

// A writable float64 buffer of rows x width: 2-D, or 1-D for a width of 1
// where one_dimensional is allowed.
class Matrix {
public:
    Matrix() = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix();

    // 0, or -1 with an exception set that names what does not fit.
    int open(PyObject* out, Py_ssize_t rows, Py_ssize_t width, bool one_dimensional);

    Py_ssize_t width() const { return width_; }

    void write(Py_ssize_t i, const double* row)
    {
        char* at = base_ + i * row_stride_;
        if (contiguous_) {
            copy_row(at, row);
            return;
        }
        for (Py_ssize_t j = 0; j < width_; j++) {
            *reinterpret_cast<double*>(at + j * item_stride_) = row[j];
        }
    }

    // Fills rows start to stop with +0.0 where they lie end to end: true,
    // or false (nothing written) otherwise.
    bool zero_rows(Py_ssize_t start, Py_ssize_t stop)
    {
        if (stop <= start || width_ == 0 || !contiguous_ ||
            row_stride_ != width_ * static_cast<Py_ssize_t>(sizeof(double))) {
            return false;
        }
        std::memset(base_ + start * row_stride_, 0, (stop - start) * row_stride_);
        return true;
    }

    // Element j of row i.
    void put(Py_ssize_t i, Py_ssize_t j, double value)
    {
        *reinterpret_cast<double*>(base_ + i * row_stride_ + j * item_stride_) = value;
    }

    void write1(Py_ssize_t i, double value)
    {
        *reinterpret_cast<double*>(base_ + i * row_stride_) = value;
    }

    void write2(Py_ssize_t i, double first, double second)
    {
        char* at = base_ + i * row_stride_;
        *reinterpret_cast<double*>(at) = first;
        *reinterpret_cast<double*>(at + item_stride_) = second;
    }

    // Writes a per-value result, a sequence of width elements: None as NaN,
    // any other element as float(element). 0, or -1 with an exception set.
    int write_result(Py_ssize_t i, PyObject* result);

private:
    // A row of a width known when compiled is copied by a few moves, no
    // call: the width stays the same over a column.
    template <Py_ssize_t Width>
    static void copy(char* at, const double* row)
    {
        std::memcpy(at, row, Width * sizeof(double));
    }

    void copy_row(char* at, const double* row) const
    {
        switch (width_) {
        case 1: return copy<1>(at, row);
        case 2: return copy<2>(at, row);
        case 3: return copy<3>(at, row);
        case 4: return copy<4>(at, row);
        case 5: return copy<5>(at, row);
        case 6: return copy<6>(at, row);
        case 7: return copy<7>(at, row);
        case 8: return copy<8>(at, row);
        case 9: return copy<9>(at, row);
        case 10: return copy<10>(at, row);
        case 11: return copy<11>(at, row);
        case 12: return copy<12>(at, row);
        default: std::memcpy(at, row, width_ * sizeof(double));
        }
    }

    Py_buffer view_{};
    bool has_view_ = false;
    char* base_ = nullptr;
    Py_ssize_t row_stride_ = 0;
    Py_ssize_t item_stride_ = sizeof(double);
    Py_ssize_t width_ = 0;
    bool contiguous_ = false;
};

// The ids of each value, in a pair (ids, offsets) of writable int64 buffers:
// the ids of value i go to ids[offsets[i]:offsets[i + 1]].
class Ids {
public:
    Ids() = default;
    Ids(const Ids&) = delete;
    Ids& operator=(const Ids&) = delete;
    ~Ids();

    // Takes the pair for rows values, of which at most bound ids can come;
    // writes offsets[0] = 0. 0, or -1 with an exception set.
    int open(PyObject* pair, Py_ssize_t rows, Py_ssize_t bound);

    Py_ssize_t written() const { return count_; }

    // Whether n more ids fit.
    bool room(Py_ssize_t n) const { return n <= capacity_ - count_; }

    // Appends ids already known to fit.
    void append(int64_t id)
    {
        *reinterpret_cast<int64_t*>(ids_ + count_ * ids_stride_) = id;
        count_++;
    }

    // Closes value i: offsets[i + 1] is the count so far.
    void close(Py_ssize_t i)
    {
        *reinterpret_cast<int64_t*>(offsets_ + (i + 1) * offsets_stride_) = count_;
    }

    // Writes the per-value result of value i, a sequence of ints. 0, or -1
    // with an exception set.
    int write_result(Py_ssize_t i, PyObject* result);

private:
    Py_buffer ids_view_{};
    Py_buffer offsets_view_{};
    bool has_ids_ = false;
    bool has_offsets_ = false;
    char* ids_ = nullptr;
    char* offsets_ = nullptr;
    Py_ssize_t ids_stride_ = 0;
    Py_ssize_t offsets_stride_ = 0;
    Py_ssize_t capacity_ = 0;
    Py_ssize_t count_ = 0;
};

}  // namespace columns
