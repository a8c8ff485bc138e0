"""Back end: turns the resolved catalogue into the C++ sources of libtarn-types."""
from .generate import generate, planned_outputs

__all__ = ["generate", "planned_outputs"]
