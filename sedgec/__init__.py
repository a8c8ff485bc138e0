"""sedgec: reads the Sedge catalogue in schema/, checks it and generates the C++ library."""
