#!/usr/bin/env python3
"""Reads what CMake wrote for a Windows build (MSVC's cl and link, nvcc with cl as host
compiler) and checks the command lines against what that platform needs.

  windows_commands.py preset PRESETS_JSON NAME
      checks the configure preset NAME and prints its cache variables, one NAME=VALUE a line
  windows_commands.py commands BUILD_DIR CONFIG WERROR
      checks compile_commands.json and build.ninja of BUILD_DIR, configured for CONFIG (Release
      or Debug) with warnings as errors when WERROR is ON

Every fault found is printed on standard error; the exit status is 1 if there was any.
"""
import json
import os
import re
import shlex
import sys

faults = []


def fault(text):
    faults.append(text)


def check_preset(presets_file, name):
    with open(presets_file, encoding="utf-8") as stream:
        presets = json.load(stream)
    configure = {p["name"]: p for p in presets.get("configurePresets", [])}
    preset = configure.get(name)
    if preset is None:
        fault(f"{presets_file}: no configure preset {name}")
        return {}
    if preset.get("inherits"):
        fault(f"preset {name} inherits {preset['inherits']}: it should say everything itself")
    expected = {
        "generator": "Ninja",
        "binaryDir": "${sourceDir}/build/" + name,
        "architecture": {"value": "x64", "strategy": "external"},
        "condition": {"type": "equals", "lhs": "${hostSystemName}", "rhs": "Windows"},
    }
    for key, value in expected.items():
        if preset.get(key) != value:
            fault(f"preset {name}: {key} is {preset.get(key)!r}, not {value!r}")
    variables = {}
    for key, value in preset.get("cacheVariables", {}).items():
        variables[key] = value["value"] if isinstance(value, dict) else value
    if variables.get("BACKEND") != "cuda":
        fault(f"preset {name}: BACKEND is {variables.get('BACKEND')!r}, not 'cuda'")
    for kind in ("buildPresets", "testPresets"):
        if not any(p.get("configurePreset") == name for p in presets.get(kind, [])):
            fault(f"{presets_file}: no entry in {kind} for {name}")
    return variables


def xcompiler_options(tokens):
    """The host compiler options that nvcc is given with -Xcompiler (comma lists split)."""
    options = []
    for index, token in enumerate(tokens):
        value = None
        if token.startswith("-Xcompiler="):
            value = token[len("-Xcompiler="):]
        elif token in ("-Xcompiler", "--compiler-options") and index + 1 < len(tokens):
            value = tokens[index + 1]
        if value is not None:
            options.extend(part for part in re.split(r"[,\s]+", value.strip('"')) if part)
    return options


# GCC's and Clang's spellings, which cl reads as something else (-Wall is /Wall) or ignores.
GNU_OPTION = re.compile(r"^-(W(all|extra|error|pedantic|no-|[a-z-]+=)|f[a-z]|pthread$|std=gnu)")


def check_compiles(build, config, werror):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as stream:
        entries = json.load(stream)
    runtime = "-MTd" if config == "Debug" else "-MT"
    kinds = {"cl": 0, "nvcc": 0}
    for entry in entries:
        tokens = shlex.split(entry["command"])
        source = os.path.basename(entry["file"])
        compiler = os.path.basename(tokens[0]).lower()
        if compiler == "cl.exe":
            kinds["cl"] += 1
            host = tokens[1:]
            for token in host:
                if GNU_OPTION.match(token):
                    fault(f"{source}: GCC-style option {token} given to cl")
        elif compiler == "nvcc.exe":
            kinds["nvcc"] += 1
            host = xcompiler_options(tokens)
            for token in host:
                if GNU_OPTION.match(token):
                    fault(f"{source}: GCC-style option {token} handed to cl by nvcc")
            # nvcc forwards options it does not know to cl (-forward-unknown-to-host-compiler).
            for token in tokens[1:]:
                if token in ("-Wall", "-Wextra", "-Wpedantic", "-pedantic"):
                    fault(f"{source}: GCC-style option {token} forwarded to cl by nvcc")
            werror_nvcc = "-Werror=all-warnings" in tokens or (
                "-Werror" in tokens and "all-warnings" in tokens)
            if werror and not werror_nvcc:
                fault(f"{source}: nvcc without -Werror all-warnings")
            if not werror and werror_nvcc:
                fault(f"{source}: nvcc with -Werror although warnings are not errors")
        else:
            fault(f"{source}: compiled by {tokens[0]}, neither cl.exe nor nvcc.exe")
            continue
        host_normal = ["-" + t[1:] if t.startswith("/") else t for t in host]
        if "-utf-8" not in host_normal:
            fault(f"{source}: {compiler} compile without /utf-8")
        if "-W4" not in host_normal:
            fault(f"{source}: {compiler} compile without /W4")
        if werror != ("-WX" in host_normal):
            fault(f"{source}: /WX is {'missing' if werror else 'given'} (WARNINGS_AS_ERRORS={werror})")
        runtimes = [t for t in host_normal if re.fullmatch(r"-M[TD]d?", t)]
        if runtimes != [runtime]:
            fault(f"{source}: C runtime options {runtimes}, not just /{runtime[1:]}")
        if source == "elf_contents.cpp":
            fault("elf_contents.cpp, which reads ELF files, is built")
        if source == "driver_hint.cpp":
            fault("driver_hint.cpp is compiled: cudart_static.lib already defines the hint")
    if kinds["cl"] == 0 or kinds["nvcc"] == 0:
        fault(f"compile_commands.json holds {kinds['cl']} cl and {kinds['nvcc']} nvcc compiles")


def ninja_statements(path):
    """Each build statement of a build.ninja: (outputs, rule, inputs, variables)."""
    with open(path, encoding="utf-8") as stream:
        lines = stream.read().replace("$\n", "").splitlines()
    statements = []
    for line in lines:
        if line.startswith("build "):
            head, _, tail = line[len("build "):].partition(": ")
            rule, _, inputs = tail.partition(" ")
            statements.append((head.split(), rule, inputs.split(), {}))
        elif line.startswith("  ") and statements and "=" in line:
            key, _, value = line.strip().partition(" = ")
            statements[-1][3][key] = value
    return statements


def ninja_rules(path):
    rules = {}
    with open(path, encoding="utf-8") as stream:
        name = None
        for line in stream:
            if line.startswith("rule "):
                name = line.split()[1]
            elif name and line.startswith("  command = "):
                rules[name] = line[len("  command = "):].strip()
    return rules


def check_links(build):
    rules = ninja_rules(os.path.join(build, "CMakeFiles", "rules.ninja"))
    links = {}
    for outputs, rule, inputs, variables in ninja_statements(os.path.join(build, "build.ninja")):
        for output in outputs:
            if output.endswith(".exe") and rule != "phony":
                links[os.path.basename(output)] = (rule, inputs, variables)
    for program in ("vecmat.exe", "gputune.exe"):
        if program not in links:
            fault(f"build.ninja links no {program}")
            continue
        rule, inputs, variables = links[program]
        command = rules.get(rule, "")
        if not re.search(r"(^|[\s/])link\.exe\s", command):
            fault(f"{program}: linked by '{command[:80]}...', not link.exe")
        flags = variables.get("LINK_FLAGS", "").split()
        for flag in flags:
            if flag.startswith("--") or flag.startswith("-Wl,") or flag.startswith("LINKER:"):
                fault(f"{program}: GNU linker option {flag} given to link.exe")
        objects = [i for i in inputs if i.endswith(".obj")]
        for obj in objects:
            if "driver_hint" in obj:
                fault(f"{program}: links {obj}, a second definition of NvOptimusEnablementCuda")
        libraries = variables.get("LINK_LIBRARIES", "").split()
        if not any(os.path.basename(lib) == "cudart_static.lib" for lib in libraries):
            fault(f"{program}: cudart_static.lib, which defines and exports the hint, is not linked")
        if any(os.path.basename(lib) == "cudart.lib" for lib in libraries):
            fault(f"{program}: links the shared runtime's cudart.lib")


def check_tests(build):
    """The tests CMake added: none that runs bash or reads ELF files; the Windows ones."""
    names = []
    for folder, _, files in os.walk(build):
        if "CTestTestfile.cmake" not in files:
            continue
        with open(os.path.join(folder, "CTestTestfile.cmake"), encoding="utf-8") as stream:
            for line in stream:
                match = re.match(r'add_test\(\s*(?:\[=\[(.+?)\]=\]|"([^"]+)")\s+(.*)\)\s*$', line)
                if not match:
                    continue
                name, command = match.group(1) or match.group(2), match.group(3)
                names.append(name)
                if re.search(r"\.sh\b|elf_contents|\bbash\b", command):
                    fault(f"test {name} runs bash or reads ELF files: {command[:100]}")
    for program in ("vecmat", "gputune"):
        for test in (f"{program}_run", f"{program}_exports_driver_hint"):
            if test not in names:
                fault(f"no test {test}")


def main(argv):
    if len(argv) == 4 and argv[1] == "preset":
        for key, value in check_preset(argv[2], argv[3]).items():
            print(f"{key}={value}")
    elif len(argv) == 5 and argv[1] == "commands":
        check_compiles(argv[2], argv[3], argv[4].upper() in ("ON", "TRUE", "1"))
        check_links(argv[2])
        check_tests(argv[2])
    else:
        sys.exit(__doc__)
    for text in faults:
        print(text, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
