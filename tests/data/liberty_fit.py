#!/usr/bin/env python3
# An independent fit of Liberty buffer cells for the bufins-liberty tests: the
# cells' tables are cut out of the file with regular expressions (no Liberty
# parser), the delays interpolated at one input transition, and the line
# through them found by the normal equations. Pure Python (no packages).
#
#   liberty_fit.py LIBERTY(.gz) SLEW_PS REGEX
#
# prints one line per buffer cell whose name REGEX matches (fully):
#   NAME INPUT_CAP_FF INTRINSIC_PS RESISTANCE_OHM
# for libraries in ns and pF (SKY130) or ps and fF (ASAP7), the only units it knows.
import gzip, re, sys

path, slew_ps, pattern = sys.argv[1], float(sys.argv[2]), re.compile(sys.argv[3])
raw = open(path, 'rb').read()
text = (gzip.decompress(raw) if raw[:2] == b'\x1f\x8b' else raw).decode()
time_ps = {'1ns': 1000.0, '1ps': 1.0}[re.search(r'time_unit\s*:\s*"?(\w+)"?', text).group(1)]
cap_ff = {'pf': 1000.0, 'ff': 1.0}[re.search(r'capacitive_load_unit\s*\(\s*[\d.]+\s*,\s*"?(\w+)"?', text).group(1).lower()]

def block(start):
    depth, i = 0, text.index('{', start)
    while True:
        if text[i] == '{': depth += 1
        elif text[i] == '}':
            depth -= 1
            if depth == 0: return text[start:i + 1]
        i += 1

def numbers(s):
    return [float(x) for x in re.findall(r'[-+]?[\d.]+(?:[eE][-+]?\d+)?', s)]

def table(cell, kind):
    m = re.search(kind + r'\s*\(\s*"?\w+"?\s*\)\s*\{(.*?)\}', cell, re.S)
    i1 = numbers(re.search(r'index_1\s*\((.*?)\)', m.group(1), re.S).group(1))
    i2 = numbers(re.search(r'index_2\s*\((.*?)\)', m.group(1), re.S).group(1))
    v = numbers(re.search(r'values\s*\((.*?)\)\s*;', m.group(1), re.S).group(1).replace('\\', ' '))
    return [x * time_ps for x in i1], [x * cap_ff for x in i2], [[v[r * len(i2) + c] * time_ps for c in range(len(i2))] for r in range(len(i1))]

def at_slew(t, s):
    i1, i2, rows = t
    k = max(0, min(len(i1) - 2, sum(1 for x in i1 if x <= s) - 1))
    w = (s - i1[k]) / (i1[k + 1] - i1[k])
    return [rows[k][c] + w * (rows[k + 1][c] - rows[k][c]) for c in range(len(i2))]

for m in re.finditer(r'cell\s*\(\s*"?([\w]+)"?\s*\)\s*\{', text):
    name = m.group(1)
    if not pattern.fullmatch(name): continue
    cell = block(m.start())
    pa = re.search(r'pin\s*\(\s*"?A"?\s*\)\s*\{(.*?)\}', cell, re.S).group(1)
    cin = max(float(re.search(r'rise_capacitance\s*:\s*([\d.eE+-]+)', pa).group(1)),
              float(re.search(r'fall_capacitance\s*:\s*([\d.eE+-]+)', pa).group(1))) * cap_ff
    maxcap = float(re.search(r'max_capacitance\s*:\s*([\d.eE+-]+)', cell).group(1)) * cap_ff
    rise, fall = table(cell, 'cell_rise'), table(cell, 'cell_fall')
    loads = rise[1]
    d = [max(a, b) for a, b in zip(at_slew(rise, slew_ps), at_slew(fall, slew_ps))]
    pts = [(c, y) for c, y in zip(loads, d) if c <= maxcap * (1 + 1e-6)]
    n = len(pts); sx = sum(c for c, _ in pts); sy = sum(y for _, y in pts)
    sxx = sum(c * c for c, _ in pts); sxy = sum(c * y for c, y in pts)
    slope = (n * sxy - sx * sy) / (n * sxx - sx * sx)
    print(name, repr(cin), repr((sy - slope * sx) / n), repr(slope * 1000.0))
