#!/usr/bin/env python3
"""The OPC UA endpoint's rooms include only rooms before them, and no two files (a header
with its source counted as one) include each other, directly or around a loop."""
import os
import re
import sys

ROOMS = ["encoding", "crypto", "channel", "security", "model", "events", "alarms", "services", "endpoint", "discovery", "settings"]


def main(root):
    rank = {r: i for i, r in enumerate(ROOMS)}
    deps = {}
    for d, _, files in os.walk(root):
        for f in files:
            if not f.endswith((".h", ".cpp")):
                continue
            path = os.path.join(d, f)
            module = os.path.relpath(path, root).rsplit(".", 1)[0]
            if "/" not in module:
                print(f"{module}: a file outside every room")
                return 1
            text = open(path, encoding="utf-8").read()
            found = {m.group(1) for m in re.finditer(r'#include "opctoolbox/ua/([^"]+)\.h"', text)}
            deps.setdefault(module, set()).update(found - {module})
    faults = []
    for module, used in sorted(deps.items()):
        room = module.split("/")[0]
        if room not in rank:
            faults.append(f"{module}: room {room} is not in the order")
            continue
        for dep in sorted(used):
            other = dep.split("/")[0]
            if other in rank and rank[other] > rank[room]:
                faults.append(f"{module} includes {dep}, a later room")
    # Loops: a depth-first walk that meets a module still on its path.
    state = {}

    def walk(module, path):
        state[module] = 1
        for dep in sorted(deps.get(module, ())):
            if state.get(dep) == 1:
                faults.append("loop: " + " -> ".join(path[path.index(dep):] + [dep]))
            elif dep not in state:
                walk(dep, path + [dep])
        state[module] = 2

    for module in sorted(deps):
        if module not in state:
            walk(module, [module])
    for f in faults:
        print(f)
    print(f"{len(deps)} modules in {len(ROOMS)} rooms: {'faults' if faults else 'one way, no loops'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
