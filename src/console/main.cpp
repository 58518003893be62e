#include "console/menu.h"

int main() { return RunMenu(); }
