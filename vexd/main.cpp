// placeholder: replaced by the real module
#include "vexd.h"
int main() { return 0; }
