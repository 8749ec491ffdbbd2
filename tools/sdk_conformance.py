#!/usr/bin/env python3
"""Writes a C++ test that holds the simulated desktop's declarations against
the real Windows SDK headers: every constant, enumerator, basic type,
structure layout, function signature, interface method and GUID that the
simulated desktop declares must be what the SDK declares. Compiled into the
Windows test program, so a difference fails the build (or, for GUIDs, the
test run).

usage: sdk_conformance.py SIMWIN_H SIM_SOURCE... OUTPUT_CPP
"""
import re
import sys

# Macros that only adapt the simulated desktop's declarations to the compiler.
SKIP_MACROS = {"WINAPI", "CALLBACK", "STDMETHODCALLTYPE", "SIMAPI", "SRWLOCK_INIT"}
# Declared by Microsoft's SDK for Windows 10 and later, not (yet) by mingw-w64.
NOT_IN_MINGW = {"TreeScope_None"}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def macros(text):
    for name, value in re.findall(r"^#define\s+([A-Za-z_]\w*)[ \t]+(.+)$", text, flags=re.M):
        if name in SKIP_MACROS or value.startswith("{"):
            continue
        yield name, value.strip()


def enumerators(text):
    for body in re.findall(r"\benum\s+\w+\s*\{(.*?)\}", text, flags=re.S):
        for item in body.split(","):
            m = re.match(r"\s*(\w+)\s*=\s*(.+?)\s*$", item, flags=re.S)
            if m:
                yield m.group(1), m.group(2)


def scalar_typedefs(text):
    for target, name in re.findall(r"^typedef\s+([\w ]+?)\s+(\w+);", text, flags=re.M):
        if target.split()[-1] in ("struct", "union", "enum"):
            continue
        yield name, target


def records(text):
    """typedef struct/union TAG { ... } NAME[, *PNAME];"""
    for kind, tag, body, names in re.findall(
            r"typedef\s+(struct|union)\s+(\w+)\s*(\{(?:[^{}]|\{(?:[^{}]|\{[^{}]*\})*\})*\})\s*([^;]*);", text,
            flags=re.S):
        name = names.split(",")[0].strip()
        yield kind, tag, body, name


def fields(body):
    """Names of the members, anonymous unions and structs flattened."""
    inner = body.strip()[1:-1]
    inner = re.sub(r"\b(struct|union)\s*\{", " ", inner)
    inner = inner.replace("}", ";")
    for decl in inner.split(";"):
        decl = decl.strip()
        if not decl:
            continue
        m = re.search(r"(\w+)\s*(\[\s*\w+\s*\])?$", decl)
        if m and len(decl.split()) >= 2:
            yield m.group(1)


def functions(text):
    for ret, name, params in re.findall(r"SIMAPI\s+([\w\s\*]+?)\s+WINAPI\s+(\w+)\s*\(([^)]*)\)\s*;", text, flags=re.S):
        yield name, ret, " ".join(params.split())


def interfaces(text):
    for name, base, body in re.findall(r"struct\s+(\w+)\s*:\s*public\s+(\w+)\s*\{(\s*|.*?\n)\};", text,
                                       flags=re.S):
        methods = re.findall(r"virtual\s+([\w\s\*]+?)\s+STDMETHODCALLTYPE\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;", body,
                             flags=re.S)
        yield name, base, [(m, r, " ".join(p.split())) for r, m, p in methods]


def guids(sources):
    for path in sources:
        text = strip_comments(open(path, encoding="utf-8").read())
        for name, value in re.findall(r"SIMAPI\s+const\s+(?:IID|CLSID|GUID)\s+(\w+)\s*=\s*(\{.*?\}\s*\})\s*;", text,
                                      flags=re.S):
            yield name, " ".join(value.split())


def main():
    header, *sources, output = sys.argv[1:]
    text = strip_comments(open(header, encoding="utf-8").read())
    out = ["// Generated from the simulated desktop's declarations; do not edit.",
           "#include <gtest/gtest.h>", "#include <cstddef>", "#include <cstdint>", "#include <string>",
           "#include <type_traits>", "#include \"platform/winapi.h\"", "",
           "namespace {",
           "template <class T> struct Method;",
           "template <class C, class F> struct Method<F C::*> { using type = F; };",
           "template <class A, class B> constexpr bool sameScalar =",
           "    sizeof(A) == sizeof(B) && std::is_signed_v<A> == std::is_signed_v<B> &&",
           "    std::is_pointer_v<A> == std::is_pointer_v<B>;",
           "}  // namespace", ""]
    count = 0
    for name, value in macros(text):
        if "(" in name:
            continue
        out.append(f"static_assert(static_cast<long long>({name}) == static_cast<long long>({value}), \"{name}\");")
        count += 1
    for name, value in enumerators(text):
        if name in NOT_IN_MINGW:
            continue
        out.append(f"static_assert(static_cast<long long>({name}) == static_cast<long long>({value}), \"{name}\");")
        count += 1
    for name, target in scalar_typedefs(text):
        out.append(f"static_assert(sameScalar<{name}, {target}>, \"{name}\");")
        count += 1
    # Layouts: the simulated desktop's definition, copied into a namespace of
    # its own, against the SDK's.
    out.append("namespace simulated {")
    layout_checks = []
    for kind, tag, body, name in records(text):
        out.append(f"{kind} {name} {body};")
        layout_checks.append(f"static_assert(sizeof(simulated::{name}) == sizeof(::{name}), \"size of {name}\");")
        for field in fields(body):
            layout_checks.append(f"static_assert(offsetof(simulated::{name}, {field}) == offsetof(::{name}, {field}), "
                                 f"\"{name}::{field}\");")
    out.append("}  // namespace simulated")
    out += layout_checks
    count += len(layout_checks)
    for name, ret, params in functions(text):
        out.append(f"static_assert(std::is_same_v<decltype(::{name}), {ret} WINAPI({params})>, \"{name}\");")
        count += 1
    for name, base, methods in interfaces(text):
        out.append(f"static_assert(std::is_base_of_v<{base}, {name}>, \"{name} : {base}\");")
        count += 1
        for method, ret, params in methods:
            out.append(f"static_assert(std::is_same_v<Method<decltype(&{name}::{method})>::type, {ret}({params})>, "
                       f"\"{name}::{method}\");")
            count += 1
    checks = list(guids(sources))
    out.append("")
    out.append("TEST(SdkConformance, TheSimulatedDesktopsGuidsAreTheSdks) {")
    for name, value in checks:
        out.append(f"    EXPECT_TRUE(IsEqualGUID({name}, GUID{value})) << \"{name}\";")
    out.append("}")
    out.append("")
    out.append(f"// {count} declarations checked at compile time, {len(checks)} GUIDs at run time.")
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
