// The database password prompt ("Database authentication") as the database
// component asks it, through the installed user interface (VLMEngineUi.h).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <string>

// Shows the prompt with nameText above an empty field. OK stores the typed
// text in password and answers true; Cancel answers false and leaves
// password as it was. Without an installed user interface the answer is
// false.
bool VLMPasswordDialog(const std::string& nameText, std::string& password);
