from .build import build_model, load_catalogue
from .types import (Catalogue, Method, Module, Primitive, Property, RuntimeType, Type,
                    Version)

__all__ = ["build_model", "load_catalogue", "Catalogue", "Method", "Module", "Primitive",
           "Property", "RuntimeType", "Type", "Version"]
