from .ast import (MethodDecl, ModuleFile, ParamDecl, PropDecl, TypeDecl, TypeRef,
                  VersionFile, VersionRow)
from .parser import parse_module_file, parse_module_text
from .versions import parse_version_file, parse_version_text

__all__ = ["MethodDecl", "ModuleFile", "ParamDecl", "PropDecl", "TypeDecl", "TypeRef",
           "VersionFile", "VersionRow", "parse_module_file", "parse_module_text",
           "parse_version_file", "parse_version_text"]
