#!/usr/bin/env python3
"""Lengths of the function bodies in C++ files: a brace scan over the text
with comments, strings and character literals blanked. A function is a
brace block at namespace or class scope whose head (the text since the last
';', '{' or '}') holds a parameter list and is not a class, struct, enum,
union, namespace or initialiser. Its length runs from the line of its name to
its closing brace. Prints the longest N (default 5) and those over LIMIT."""
import re, sys, os

def blank(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i)); i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2); j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(')' + m.group(1) + '"', i)
            j = end + len(m.group(1)) + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j
        elif c in '"\'':
            # a digit separator (1'000) is no literal
            if c == "'" and i > 0 and text[i-1].isalnum() and i + 1 < n and text[i+1].isalnum():
                out.append(' '); i += 1; continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == '\\' else 1
            j += 1
            out.append(' ' * (j - i)); i = j
        elif c == '#' and (i == 0 or text[i-1] == '\n'):
            j = i
            while True:
                k = text.find('\n', j); k = n if k < 0 else k
                if text[k-1:k] == '\\': j = k + 1; continue
                break
            out.append(' ' * (k - i)); i = k
        else:
            out.append(c); i += 1
    return ''.join(out)

def functions(path):
    text = blank(open(path, encoding='utf-8', errors='replace').read())
    res = []
    stack = []  # (kind, name, start offset)
    last = 0    # offset after last ; { }
    for i, c in enumerate(text):
        if c == ';':
            last = i + 1
        elif c == '{':
            head = text[last:i]
            h = head.strip()
            parent = stack[-1][0] if stack else 'ns'
            kind = 'other'
            if parent in ('ns', 'class'):
                if re.match(r'^(template\s*<.*>\s*)?(namespace|extern\s)', h, re.S) or h == '' and parent == 'ns':
                    kind = 'ns'
                elif re.search(r'\b(class|struct|union|enum)\b[^()]*$', h, re.S) and '(' not in h.split(':')[0]:
                    kind = 'class'
                elif ')' in h and not h.endswith('=') and not re.search(r'=\s*$', h):
                    kind = 'func'
            if kind == 'func':
                m = re.search(r'([~\w:<>]+)\s*\(', h)
                name = m.group(1) if m else h[:40]
                startoff = last + (len(head) - len(head.lstrip()))
                stack.append(('func', name, startoff))
            else:
                stack.append((kind, '', i))
            last = i + 1
        elif c == '}':
            if stack:
                kind, name, start = stack.pop()
                if kind == 'func':
                    # an initialiser braced inside a constructor's list
                    rest = text[i+1:i+200].lstrip()
                    if not (rest.startswith(',') or rest.startswith('{')):
                        l1 = text.count('\n', 0, start) + 1
                        l2 = text.count('\n', 0, i) + 1
                        res.append((l2 - l1 + 1, path, l1, name))
            last = i + 1
    return res

def main():
    root = sys.argv[1]
    top = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    limit = int(sys.argv[3]) if len(sys.argv) > 3 else 150
    allf = []
    for d, _, files in os.walk(root):
        for f in files:
            if f.endswith(('.cpp', '.h')):
                allf += functions(os.path.join(d, f))
    allf.sort(reverse=True)
    for n, p, l, name in allf[:top]:
        print(f'{n:5d}  {p}:{l}  {name}')
    over = [x for x in allf if x[0] > limit]
    print(f'{len(allf)} functions; {len(over)} over {limit} lines')
    return 1 if over else 0

sys.exit(main())
