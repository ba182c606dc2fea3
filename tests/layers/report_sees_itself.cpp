// Compiled with the report's include directories (plus its own folder, where its
// sources find their headers): the report's own headers are in reach.
#include "datafile.h"

int LayerProbe() {
    return 0;
}
