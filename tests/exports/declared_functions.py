#!/usr/bin/env python3
"""Prints the mangled name of every function the public headers declare
that the shared library must define and export: the out-of-line functions
and members of namespace zimrax and the C entry points zimrax_*.

Reads clang's JSON AST dump (-Xclang -ast-dump=json -Xclang
-ast-dump-filter=zimrax) on standard input: a run of JSON documents, one
per matching declaration. Left out, as they need no exported symbol:
functions defined in the header (inline, constexpr, with a body), deleted
or defaulted in the class, pure virtual, implicit, and templates.
"""
import json
import sys

FUNCTION_KINDS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl", "CXXConversionDecl"}
TEMPLATE_KINDS = {"FunctionTemplateDecl", "ClassTemplateDecl", "ClassTemplatePartialSpecializationDecl"}


def has_body(node):
    return any(child.get("kind") == "CompoundStmt" for child in node.get("inner", []))


def needs_symbol(node):
    if node.get("isImplicit") or node.get("inline") or node.get("constexpr") or node.get("pure"):
        return False
    if node.get("explicitlyDeleted") or node.get("explicitlyDefaulted") or has_body(node):
        return False
    return "mangledName" in node


def walk(node, found):
    kind = node.get("kind")
    if kind in TEMPLATE_KINDS:
        return
    if kind in FUNCTION_KINDS:
        if needs_symbol(node):
            found.add(node["mangledName"])
        return
    for child in node.get("inner", []):
        walk(child, found)


def main():
    text = sys.stdin.read()
    decoder = json.JSONDecoder()
    found = set()
    at = 0
    documents = 0
    while True:
        # Between documents clang may print text such as "Dumping zimrax:".
        at = text.find("{", at)
        if at < 0:
            break
        node, at = decoder.raw_decode(text, at)
        documents += 1
        name = node.get("name", "")
        if node.get("kind") == "NamespaceDecl" and name == "zimrax" or name.startswith("zimrax_"):
            walk(node, found)
    if documents == 0 or not found:
        sys.exit("declared_functions: no declarations in the dump")
    for name in sorted(found):
        print(name)


if __name__ == "__main__":
    main()
