// Constant name tables of the engine.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <string_view>

// Page type codes of the database file; the storage engine names a page in its
// messages by VLMPageTypeNames[type]. A code of VLMPageTypeCount or more has no
// name.
inline constexpr int32_t VLMPageTypeCount = 13;
extern const std::array<std::string_view, VLMPageTypeCount> VLMPageTypeNames;

// SQL keywords. The parser and the statement engine name a keyword by its id,
// the position of the word in VLMSQLKeywords, so the order of the table is
// part of their interface and must never change. Ids 0-229 are the SQL-92
// reserved words in alphabetical order (MEMORY, MINUS and TOP among them),
// 230-291 the engine's own words: table and BLOB options, sequence options,
// functions and the rounding modes of ROUND (HALFEVEN ... RNDUP). Wherever a
// keyword id is expected, VLMNoKeywordId (292) stands for "no keyword".
inline constexpr int32_t VLMSQLKeywordCount = 292;
inline constexpr uint16_t VLMNoKeywordId = 292;
extern const std::array<std::string_view, VLMSQLKeywordCount> VLMSQLKeywords;

// The id of word in VLMSQLKeywords, compared without regard to case;
// VLMNoKeywordId when the word is no keyword. Keywords are plain ASCII, and no
// 1252 letter outside ASCII has an ASCII upper case, so folding a-z is the
// whole of the case rule here.
int32_t VLMSQLKeywordId(std::string_view word);

// Named keyword ids, for code that tests for one particular keyword.
enum TVLMKeyword : uint16_t {
  kwABSOLUTE = 0, kwACTION = 1, kwADD = 2, kwALL = 3, kwALLOCATE = 4, kwALTER = 5, kwAND = 6,
  kwANY = 7, kwARE = 8, kwAS = 9, kwASC = 10, kwASSERTION = 11, kwAT = 12, kwAUTHORIZATION = 13,
  kwAVG = 14, kwBEGIN = 15, kwBETWEEN = 16, kwBIT = 17, kwBIT_LENGTH = 18, kwBOTH = 19,
  kwBY = 20, kwCASCADE = 21, kwCASCADED = 22, kwCASE = 23, kwCAST = 24, kwCATALOG = 25,
  kwCHAR = 26, kwCHARACTER = 27, kwCHAR_LENGTH = 28, kwCHARACTER_LENGTH = 29, kwCHECK = 30,
  kwCLOSE = 31, kwCOALESCE = 32, kwCOLLATE = 33, kwCOLLATION = 34, kwCOLUMN = 35, kwCOMMIT = 36,
  kwCONNECT = 37, kwCONNECTION = 38, kwCONSTRAINT = 39, kwCONSTRAINTS = 40, kwCONTINUE = 41,
  kwCONVERT = 42, kwCORRESPONDING = 43, kwCOUNT = 44, kwCREATE = 45, kwCROSS = 46,
  kwCURRENT = 47, kwCURRENT_DATE = 48, kwCURRENT_TIME = 49, kwCURRENT_TIMESTAMP = 50,
  kwCURRENT_USER = 51, kwCURSOR = 52, kwDATE = 53, kwDAY = 54, kwDEALLOCATE = 55, kwDEC = 56,
  kwDECIMAL = 57, kwDECLARE = 58, kwDEFAULT = 59, kwDEFERRABLE = 60, kwDEFERRED = 61,
  kwDELETE = 62, kwDESC = 63, kwDESCRIBE = 64, kwDESCRIPTOR = 65, kwDIAGNOSTICS = 66,
  kwDISCONNECT = 67, kwDISTINCT = 68, kwDOMAIN = 69, kwDOUBLE = 70, kwDROP = 71, kwELSE = 72,
  kwEND = 73, kwEND_EXEC = 74, kwESCAPE = 75, kwEXCEPT = 76, kwEXCEPTION = 77, kwEXEC = 78,
  kwEXECUTE = 79, kwEXISTS = 80, kwEXTERNAL = 81, kwEXTRACT = 82, kwFALSE = 83, kwFETCH = 84,
  kwFIRST = 85, kwFLOAT = 86, kwFOR = 87, kwFOREIGN = 88, kwFOUND = 89, kwFROM = 90, kwFULL = 91,
  kwGET = 92, kwGLOBAL = 93, kwGO = 94, kwGOTO = 95, kwGRANT = 96, kwGROUP = 97, kwHAVING = 98,
  kwHOUR = 99, kwIDENTITY = 100, kwIMMEDIATE = 101, kwIN = 102, kwINDICATOR = 103,
  kwINITIALLY = 104, kwINNER = 105, kwINPUT = 106, kwINSENSITIVE = 107, kwINSERT = 108,
  kwINT = 109, kwINTEGER = 110, kwINTERSECT = 111, kwINTERVAL = 112, kwINTO = 113, kwIS = 114,
  kwISOLATION = 115, kwJOIN = 116, kwKEY = 117, kwLANGUAGE = 118, kwLAST = 119, kwLEADING = 120,
  kwLEFT = 121, kwLEVEL = 122, kwLIKE = 123, kwLOCAL = 124, kwLOWER = 125, kwMATCH = 126,
  kwMAX = 127, kwMEMORY = 128, kwMIN = 129, kwMINUS = 130, kwMINUTE = 131, kwMODULE = 132,
  kwMONTH = 133, kwNAMES = 134, kwNATIONAL = 135, kwNATURAL = 136, kwNCHAR = 137, kwNEXT = 138,
  kwNO = 139, kwNOT = 140, kwNULL = 141, kwNULLIF = 142, kwNUMERIC = 143, kwOCTET_LENGTH = 144,
  kwOF = 145, kwON = 146, kwONLY = 147, kwOPEN = 148, kwOPTION = 149, kwOR = 150, kwORDER = 151,
  kwOUTER = 152, kwOUTPUT = 153, kwOVERLAPS = 154, kwPAD = 155, kwPARTIAL = 156,
  kwPOSITION = 157, kwPRECISION = 158, kwPREPARE = 159, kwPRESERVE = 160, kwPRIMARY = 161,
  kwPRIOR = 162, kwPRIVILEGES = 163, kwPROCEDURE = 164, kwPUBLIC = 165, kwREAD = 166,
  kwREAL = 167, kwREFERENCES = 168, kwRELATIVE = 169, kwRESTRICT = 170, kwREVOKE = 171,
  kwRIGHT = 172, kwROLLBACK = 173, kwROWS = 174, kwSCHEMA = 175, kwSCROLL = 176, kwSECOND = 177,
  kwSECTION = 178, kwSELECT = 179, kwSESSION = 180, kwSESSION_USER = 181, kwSET = 182,
  kwSIZE = 183, kwSMALLINT = 184, kwSOME = 185, kwSPACE = 186, kwSQL = 187, kwSQLCODE = 188,
  kwSQLERROR = 189, kwSQLSTATE = 190, kwSUBSTRING = 191, kwSUM = 192, kwSYSTEM_USER = 193,
  kwTABLE = 194, kwTEMPORARY = 195, kwTHEN = 196, kwTIME = 197, kwTIMESTAMP = 198,
  kwTIMEZONE_HOUR = 199, kwTIMEZONE_MINUTE = 200, kwTO = 201, kwTOP = 202, kwTRAILING = 203,
  kwTRANSACTION = 204, kwTRANSLATE = 205, kwTRANSLATION = 206, kwTRIM = 207, kwTRUE = 208,
  kwUNION = 209, kwUNIQUE = 210, kwUNKNOWN = 211, kwUPDATE = 212, kwUPPER = 213, kwUSAGE = 214,
  kwUSER = 215, kwUSING = 216, kwVALUE = 217, kwVALUES = 218, kwVARCHAR = 219, kwVARYING = 220,
  kwVIEW = 221, kwWHEN = 222, kwWHENEVER = 223, kwWHERE = 224, kwWITH = 225, kwWORK = 226,
  kwWRITE = 227, kwYEAR = 228, kwZONE = 229, kwPASSWORD = 230, kwBLOBBLOCKSIZE = 231,
  kwBLOBCOMPRESSIONMODE = 232, kwBLOBCOMPRESSIONALGORITHM = 233, kwLASTAUTOINC = 234,
  kwMODIFY = 235, kwNEW = 236, kwINDEX = 237, kwNOCASE = 238, kwLTRIM = 239, kwRTRIM = 240,
  kwPOS = 241, kwLENGTH = 242, kwSYSDATE = 243, kwNOW = 244, kwTODATE = 245, kwTOSTRING = 246,
  kwAUTOINDEXES = 247, kwNOAUTOINDEXES = 248, kwINCREMENT = 249, kwLASTVALUE = 250,
  kwMAXVALUE = 251, kwMINVALUE = 252, kwCYCLED = 253, kwNOMAXVALUE = 254, kwNOMINVALUE = 255,
  kwNOCYCLED = 256, kwINITIALVALUE = 257, kwSTARTVALUE = 258, kwRENAME = 259, kwSTART = 260,
  kwFLUSH = 261, kwAUTOINC = 262, kwMIMETOBIN = 263, kwROWNUM = 264, kwIF = 265,
  kwTRUNCATE = 266, kwABS = 267, kwACOS = 268, kwASIN = 269, kwATAN = 270, kwCEIL = 271,
  kwCOS = 272, kwEXP = 273, kwFLOOR = 274, kwLOG = 275, kwPOWER = 276, kwRAND = 277,
  kwROUND = 278, kwSIGN = 279, kwSIN = 280, kwSQR = 281, kwSQRT = 282, kwHALFEVEN = 283,
  kwHALFPOS = 284, kwHALFNEG = 285, kwHALFDOWN = 286, kwHALFUP = 287, kwRNDNEG = 288,
  kwRNDPOS = 289, kwRNDDOWN = 290, kwRNDUP = 291,
  kwNone = 292,
};
