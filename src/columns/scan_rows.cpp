// Where complete CSV rows end in a block of text, by the rules of a CSV
// parser that allows line ends in quoted cells: a quote opens quoting only
// at the start of a cell, a doubled quote inside quotes is one quote, and
// an empty line is no row.
#include "scan_rows.h"

namespace columns {

RowScan scan_rows(const char* text, Py_ssize_t size, bool final)
{
    RowScan done{0, 0, 0};
    Py_ssize_t rows = 0;
    Py_ssize_t lines = 0;
    bool quoted = false;
    bool cell_start = true;
    bool in_row = false;
    for (Py_ssize_t i = 0; i < size; i++) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r') {
                if (i + 1 == size && !final) {
                    // A \n may follow in the next block: \r\n is one line end.
                    break;
                }
                if (i + 1 < size && text[i + 1] == '\n') {
                    i++;
                }
            }
            lines++;
            if (!quoted) {
                if (in_row) {
                    rows++;
                    done = RowScan{i + 1, rows, lines};
                }
                in_row = false;
                cell_start = true;
            }
            continue;
        }
        if (quoted) {
            if (c == '"') {
                if (i + 1 < size && text[i + 1] == '"') {
                    i++;
                }
                else {
                    quoted = false;
                }
            }
            continue;
        }
        quoted = c == '"' && cell_start;
        cell_start = c == ',';
        in_row = true;
    }
    if (final) {
        return RowScan{size, rows + (in_row ? 1 : 0), lines};
    }
    return done;
}

}  // namespace columns
