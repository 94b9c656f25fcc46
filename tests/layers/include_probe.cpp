// Compiled only by the layer-order tests, with the include view of one layer: PROBE_HEADER
// names a header of another layer, which the build must find only below the probing layer.
#include PROBE_HEADER
