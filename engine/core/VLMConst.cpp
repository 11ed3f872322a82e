#include "engine/core/VLMConst.h"

const std::array<std::string_view, VLMPageTypeCount> VLMPageTypeNames = {
    "Unknown Page",               // 0
    "Empty Page",                 // 1
    "EAM Page",                   // 2
    "PFS Page",                   // 3
    "FileSystemDirectory Page",   // 4
    "ActiveSessionList Page",     // 5
    "TableList Page",             // 6
    "TableLocks Page",            // 7
    "TableMetaData Page",         // 8
    "TableMostUpdated Page",      // 9
    "TableRecord Page",           // 10
    "TableBlob Page",             // 11
    "TableIndex Page",            // 12
};
