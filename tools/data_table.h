#ifndef VESK_TOOLS_DATA_TABLE_H
#define VESK_TOOLS_DATA_TABLE_H

#include "vesk/io/TextTable.h"

namespace vesk::tools {

/// A problem with an input file: it could not be read, or its content is wrong. The messages of
/// the text reader start with "SOURCE:LINE: ", those of instrument files with "SOURCE: ".
using DataError = io::ReadError;

using io::DataTable;
using io::escaped;
using io::parse_number;
using io::quoted;
using io::read_table;
using io::read_table_file;
using io::source_name;

}  // namespace vesk::tools

#endif  // VESK_TOOLS_DATA_TABLE_H
