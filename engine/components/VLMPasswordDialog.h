// The database password prompt ("Database authentication") as the database
// component asks it, through the installed user interface (VLMEngineUi.h).
#pragma once

#include <string>

// Shows the prompt with nameText above an empty field. OK stores the typed
// text in password and answers true; Cancel answers false and leaves
// password as it was. Without an installed user interface the answer is
// false.
bool VLMPasswordDialog(const std::string& nameText, std::string& password);
