#!/usr/bin/env python3
# Static check of the 32-bit oxasoft.dll, without running it: every export returns with
# "ret $n", n the argument bytes of its NAME@n line in the export list, as stdcall callers expect.
# Usage: check_stack_balance.py OBJDUMP DLL DEF
import bisect
import re
import subprocess
import sys

RET = re.compile(r"(?:repz |rep )?ret[lw]?(?:\s+\$0x([0-9a-f]+))?$")
JUMP = re.compile(r"j[a-z]+\s+(?:0x)?([0-9a-f]+)\b")  # direct jmp or jcc; 0x when stripped
# Through a fixed pointer: a tail call of an import, trusted (the callee's pops are not in this
# file; the compiler makes it only where they match ours). Indexed forms are switch tables.
JUMP_VIA_POINTER = re.compile(r"jmp\s+\*0x[0-9a-f]+$")


def objdump(*args):
    return subprocess.run([OBJDUMP, *args, DLL], check=True, capture_output=True, text=True).stdout


def exports():
    """Export name -> address, from the export table."""
    text = objdump("-p")
    base = int(re.search(r"^ImageBase\s+([0-9a-f]+)$", text, re.M)[1], 16)
    rvas = dict(re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", text))
    names = re.findall(r"^\t\[\s*(\d+)\] ([^\s+]\S*)$", text, re.M)
    return {name: base + int(rvas[i], 16) for i, name in names}


def function_symbols():
    """Address -> name of the COFF function symbols; none when the DLL is stripped."""
    vmas = re.findall(r"^\s*(\d+) \S+\s+[0-9a-f]+\s+([0-9a-f]+) ", objdump("-h"), re.M)
    vma = {int(i) + 1: int(v, 16) for i, v in vmas}  # the symbol table counts sections from 1
    found = re.findall(r"\(sec\s+(\d+)\)\(fl 0x\w+\)\(ty\s+20\).* 0x([0-9a-f]+) (\S+)$",
                       objdump("-t"), re.M)
    # Section 0 holds undefined and weak names, which have no address here.
    return {vma[int(s)] + int(v, 16): name for s, v, name in found if int(s) in vma}


OBJDUMP, DLL, DEF = sys.argv[1:4]
listed = re.findall(r"^([A-Z0-9_]+)@(\d+)$", open(DEF).read(), re.M)
addresses = exports()
symbols = function_symbols()
# Unwind entries mark each compiled function's start (cold parts included), stripped or not.
unwind = {int(a, 16) for a in re.findall(r" FDE .*pc=([0-9a-f]+)\.\.", objdump("--dwarf=frames"))}
insns = [(int(a, 16), text.strip()) for a, text in
         re.findall(r"^\s*([0-9a-f]+):\t(.*)$", objdump("-d", "--no-show-raw-insn"), re.M)]
code = [a for a, _ in insns]
if not symbols and not unwind:
    sys.exit("FAIL: neither function symbols nor unwind entries: no function bounds")
starts = sorted(set(symbols) | unwind | set(addresses.values())) + [code[-1] + 1]
# Names for messages: the exports' own where the DLL is stripped.
labels = {**{a: name for name, a in addresses.items()}, **symbols}
label_starts = sorted(labels)
print(f"function bounds: {len(symbols)} symbols, {len(unwind)} unwind entries, "
      f"{len(addresses)} exports")


def where(addr):
    i = bisect.bisect_right(label_starts, addr) - 1
    if i < 0:
        return ""
    offset = addr - label_starts[i]
    return f" <{labels[label_starts[i]]}{f'+{offset:#x}' if offset else ''}>"


def returns(entry):
    """The rets of the code an export runs, and its jumps through pointers. Each piece of code
    runs from where it is entered to the next function start; jumps that leave it (tail calls,
    cold parts) are followed, calls are not: their rets return to us."""
    todo, seen, rets, via_pointer = [entry], [], {}, []
    while todo:
        start = todo.pop()
        if any(a <= start < b for a, b in seen):
            continue
        end = starts[bisect.bisect_right(starts, start)]
        seen.append((start, end))
        for addr, text in insns[bisect.bisect_left(code, start):bisect.bisect_left(code, end)]:
            if m := RET.match(text):
                rets[addr] = (int(m[1] or "0", 16), text)
            elif JUMP_VIA_POINTER.match(text):
                via_pointer.append(addr)
            elif (m := JUMP.match(text)) and not start <= int(m[1], 16) < end:
                todo.append(int(m[1], 16))
    return rets, via_pointer


failed = False
for name, n in listed:
    n = int(n)
    if name not in addresses:
        print(f"FAIL {name}@{n}: not exported")
        failed = True
        continue
    rets, via_pointer = returns(addresses[name])
    wrong = [(a, ret) for a, ret in sorted(rets.items()) if ret[0] != n]
    for addr, (pops, text) in wrong:
        print(f"FAIL {name}@{n}: \"{' '.join(text.split())}\" at {addr:#x}{where(addr)} "
              f"pops {pops} bytes, callers push {n}")
    if not rets and not via_pointer:
        print(f"FAIL {name}@{n}: no ret and no tail jump found from {addresses[name]:#x}")
    failed |= bool(wrong) or not (rets or via_pointer)
    if not wrong and (rets or via_pointer):
        print(f"ok   {name}@{n}: {len(rets)} ret, {len(via_pointer)} tail jump through a pointer")
sys.exit(1 if failed else 0)
