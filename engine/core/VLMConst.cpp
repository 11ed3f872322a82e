#include "engine/core/VLMConst.h"

#include <algorithm>

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

constexpr std::array<std::string_view, VLMSQLKeywordCount> VLMSQLKeywords = {
    /*   0 */ "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER", "AND", "ANY",
    /*   8 */ "ARE", "AS", "ASC", "ASSERTION", "AT", "AUTHORIZATION", "AVG", "BEGIN",
    /*  16 */ "BETWEEN", "BIT", "BIT_LENGTH", "BOTH", "BY", "CASCADE", "CASCADED", "CASE",
    /*  24 */ "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH", "CHARACTER_LENGTH", "CHECK", "CLOSE",
    /*  32 */ "COALESCE", "COLLATE", "COLLATION", "COLUMN", "COMMIT", "CONNECT", "CONNECTION", "CONSTRAINT",
    /*  40 */ "CONSTRAINTS", "CONTINUE", "CONVERT", "CORRESPONDING", "COUNT", "CREATE", "CROSS", "CURRENT",
    /*  48 */ "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATE", "DAY", "DEALLOCATE",
    /*  56 */ "DEC", "DECIMAL", "DECLARE", "DEFAULT", "DEFERRABLE", "DEFERRED", "DELETE", "DESC",
    /*  64 */ "DESCRIBE", "DESCRIPTOR", "DIAGNOSTICS", "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP",
    /*  72 */ "ELSE", "END", "END-EXEC", "ESCAPE", "EXCEPT", "EXCEPTION", "EXEC", "EXECUTE",
    /*  80 */ "EXISTS", "EXTERNAL", "EXTRACT", "FALSE", "FETCH", "FIRST", "FLOAT", "FOR",
    /*  88 */ "FOREIGN", "FOUND", "FROM", "FULL", "GET", "GLOBAL", "GO", "GOTO",
    /*  96 */ "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE", "IN", "INDICATOR",
    /* 104 */ "INITIALLY", "INNER", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT",
    /* 112 */ "INTERVAL", "INTO", "IS", "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST",
    /* 120 */ "LEADING", "LEFT", "LEVEL", "LIKE", "LOCAL", "LOWER", "MATCH", "MAX",
    /* 128 */ "MEMORY", "MIN", "MINUS", "MINUTE", "MODULE", "MONTH", "NAMES", "NATIONAL",
    /* 136 */ "NATURAL", "NCHAR", "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC",
    /* 144 */ "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN", "OPTION", "OR", "ORDER",
    /* 152 */ "OUTER", "OUTPUT", "OVERLAPS", "PAD", "PARTIAL", "POSITION", "PRECISION", "PREPARE",
    /* 160 */ "PRESERVE", "PRIMARY", "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL",
    /* 168 */ "REFERENCES", "RELATIVE", "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK", "ROWS", "SCHEMA",
    /* 176 */ "SCROLL", "SECOND", "SECTION", "SELECT", "SESSION", "SESSION_USER", "SET", "SIZE",
    /* 184 */ "SMALLINT", "SOME", "SPACE", "SQL", "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING",
    /* 192 */ "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY", "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR",
    /* 200 */ "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING", "TRANSACTION", "TRANSLATE", "TRANSLATION", "TRIM",
    /* 208 */ "TRUE", "UNION", "UNIQUE", "UNKNOWN", "UPDATE", "UPPER", "USAGE", "USER",
    /* 216 */ "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW", "WHEN", "WHENEVER",
    /* 224 */ "WHERE", "WITH", "WORK", "WRITE", "YEAR", "ZONE", "PASSWORD", "BLOBBLOCKSIZE",
    /* 232 */ "BLOBCOMPRESSIONMODE", "BLOBCOMPRESSIONALGORITHM", "LASTAUTOINC", "MODIFY", "NEW", "INDEX", "NOCASE", "LTRIM",
    /* 240 */ "RTRIM", "POS", "LENGTH", "SYSDATE", "NOW", "TODATE", "TOSTRING", "AUTOINDEXES",
    /* 248 */ "NOAUTOINDEXES", "INCREMENT", "LASTVALUE", "MAXVALUE", "MINVALUE", "CYCLED", "NOMAXVALUE", "NOMINVALUE",
    /* 256 */ "NOCYCLED", "INITIALVALUE", "STARTVALUE", "RENAME", "START", "FLUSH", "AUTOINC", "MIMETOBIN",
    /* 264 */ "ROWNUM", "IF", "TRUNCATE", "ABS", "ACOS", "ASIN", "ATAN", "CEIL",
    /* 272 */ "COS", "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND", "SIGN",
    /* 280 */ "SIN", "SQR", "SQRT", "HALFEVEN", "HALFPOS", "HALFNEG", "HALFDOWN", "HALFUP",
    /* 288 */ "RNDNEG", "RNDPOS", "RNDDOWN", "RNDUP",
};

namespace {

constexpr size_t kMaxKeywordLength = [] {
  size_t n = 0;
  for (std::string_view w : VLMSQLKeywords) n = std::max(n, w.size());
  return n;
}();
static_assert(kMaxKeywordLength == 24, "BLOBCOMPRESSIONALGORITHM is the longest keyword");

// Keyword ids in the byte order of their words, for a binary search.
constexpr std::array<uint16_t, VLMSQLKeywordCount> kIdsByWord = [] {
  std::array<uint16_t, VLMSQLKeywordCount> ids{};
  for (int32_t i = 0; i < VLMSQLKeywordCount; ++i) ids[static_cast<size_t>(i)] = static_cast<uint16_t>(i);
  std::sort(ids.begin(), ids.end(), [](uint16_t a, uint16_t b) { return VLMSQLKeywords[a] < VLMSQLKeywords[b]; });
  return ids;
}();

}  // namespace

int32_t VLMSQLKeywordId(std::string_view word) {
  if (word.empty() || word.size() > kMaxKeywordLength) return VLMNoKeywordId;
  char upper[kMaxKeywordLength];
  for (size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const std::string_view key(upper, word.size());
  const auto it = std::lower_bound(kIdsByWord.begin(), kIdsByWord.end(), key,
                                   [](uint16_t id, std::string_view k) { return VLMSQLKeywords[id] < k; });
  if (it != kIdsByWord.end() && VLMSQLKeywords[*it] == key) return *it;
  return VLMNoKeywordId;
}
