#!/usr/bin/env python3
"""The dissector's board facts against the library's protocol header: every
constant the Lua file names must have the header's value, and its register
table must be exactly the header's registers, so the two cannot drift. The
library's own register names (for its trace) are held to the header too."""
import re
import sys

header_path, lua_path = sys.argv[1], sys.argv[2]
header = open(header_path, encoding="utf-8").read()
lua = open(lua_path, encoding="utf-8").read()

CONSTANT = re.compile(r"inline constexpr \w+ (k\w+) = (0x[0-9A-Fa-f]+|\d+);(.*)")


def lua_block(name):
    match = re.search(r"^local %s = \{(.*?)^\}" % name, lua, re.S | re.M)
    if not match:
        sys.exit("%s: no table %s" % (lua_path, name))
    return match.group(1)


register_part = re.search(r"namespace reg \{(.*?)\}  // namespace reg", header, re.S).group(1)
header_registers, header_paged = {}, set()
for name, number, comment in CONSTANT.findall(register_part):
    header_registers[int(number, 0)] = name[1:]
    if "page =" in comment:
        header_paged.add(int(number, 0))
header_constants = {name: int(value, 0) for name, value, _ in CONSTANT.findall(header.replace(register_part, ""))}

lua_constants = {name: int(value, 0) for name, value in re.findall(r"(k\w+) = (0x[0-9A-Fa-f]+|\d+),", lua_block("P"))}
lua_registers = {int(n): name for n, name in re.findall(r'\[(\d+)\] = "(\w+)"', lua_block("REGISTERS"))}
lua_paged = {int(n) for n in re.findall(r"\[(\d+)\] = true", re.search(r"^local PAGED = \{(.*?)\}", lua, re.M).group(1))}

problems = []
for name, value in lua_constants.items():
    if header_constants.get(name) != value:
        problems.append("%s is %s in the dissector, %s in the header" % (name, value, header_constants.get(name)))
for number in sorted(set(header_registers) | set(lua_registers)):
    if header_registers.get(number) != lua_registers.get(number):
        problems.append("register %d is %s in the dissector, %s in the header"
                        % (number, lua_registers.get(number), header_registers.get(number)))
if header_paged != lua_paged:
    problems.append("paged registers: %s in the dissector, %s in the header" % (sorted(lua_paged), sorted(header_paged)))
if len(sys.argv) > 3:
    names_path = sys.argv[3]
    entries = re.findall(r'\{reg::k(\w+), "(\w+)", (true|false)\}', open(names_path, encoding="utf-8").read())
    cpp_registers = {name: (spelled, paged == "true") for name, spelled, paged in entries}
    for number, name in header_registers.items():
        if cpp_registers.get(name) != (name, number in header_paged):
            problems.append("register %s (%d) is %s in %s" % (name, number, cpp_registers.get(name), names_path))
    if len(cpp_registers) != len(header_registers):
        problems.append("%s names %d registers, the header %d" % (names_path, len(cpp_registers), len(header_registers)))
if len(lua_constants) < 20 or len(lua_registers) < 40:
    problems.append("the dissector's tables were not found whole (%d constants, %d registers)"
                    % (len(lua_constants), len(lua_registers)))

print("\n".join(problems) or "%d constants and %d registers agree" % (len(lua_constants), len(lua_registers)))
sys.exit(1 if problems else 0)
