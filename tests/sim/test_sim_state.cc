// tarn-sim's whole state saved and loaded, and inventories described by a model file.
#include <gtest/gtest.h>
