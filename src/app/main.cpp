#include "app/lumo_app.h"

int main(int argc, char** argv) { return lumo::runLumo(argc, argv); }
