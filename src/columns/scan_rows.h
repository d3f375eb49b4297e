// Cutting CSV text at row ends, for readers that take it in blocks.
#pragma once

#include <Python.h>

namespace columns {

struct RowScan {
    Py_ssize_t end;    // just after the last complete row
    Py_ssize_t rows;   // non-empty lines before end
    Py_ssize_t lines;  // line ends before end: \n, \r\n and a lone \r
};

// With final, the end of the text also ends a row.
RowScan scan_rows(const char* text, Py_ssize_t size, bool final);

}  // namespace columns
