// Copying one value between two fields of the host's datasets, as the SQL
// engine and the dataset component do when they move rows between tables of
// different shapes (part of the VLMTypesRoutines unit).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

namespace qv {
class Field;
}

// Copies Source's value into Dest, by the first rule that applies:
//  1. VARBYTES source: Dest takes the value unless it already holds it.
//  2. LARGEINT source: null clears Dest; a 64-bit Dest takes the 64-bit value;
//     any other Dest takes the field-to-field assignment.
//  3. Both BLOBs: the bytes go from stream to stream; a leading 8-byte graphic
//     header {u16 1, u16 0x0100, i32 n} with n = size - 8 is left out.
//  4. Wide-string source, BLOB Dest: the text as UTF-16LE bytes, no terminator.
//  5. BLOB source, wide-string Dest: the bytes read as UTF-16LE text.
//  6. Otherwise: a 64-bit Dest takes Source's 32-bit value sign-extended; any
//     other Dest takes the field-to-field assignment.
// Errors of the streams or the assignment pass to the caller; both streams
// are released on every path.
void VLMCopyFieldValue(qv::Field* Source, qv::Field* Dest);
