// quorvex: the contest logging program.
#include "app/VedoruzEzuF.h"

int main(int argc, char** argv) { return qv::app::RunProgram(argc, argv); }
