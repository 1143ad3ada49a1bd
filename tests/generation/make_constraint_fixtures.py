#!/usr/bin/python3
"""Fixtures of the output-constraint soundness tests, checked against
Debian's python3-jsonschema (run with /usr/bin/python3):

  /usr/bin/python3 tests/generation/make_constraint_fixtures.py documents
      writes tests/data/constraint/documents.json: for every schema of
      schemas.json, documents that satisfy it, written compactly with the
      members in name order (the automaton must read each one), and near
      misses (one byte changed, a member dropped, the members reordered, a
      space, numbers outside the pattern) that the automaton must refuse.
      Every conforming document is validated here, and every near miss is
      either refused by the validator or outside the compact form.

  /usr/bin/python3 tests/generation/make_constraint_fixtures.py walks
      checks tests/data/constraint/walks.json, written by
      VORN_WRITE_CONSTRAINT_WALKS=1 build/tests/generation/constraint_tests
      --gtest_filter='ConstraintSoundness.*': every document that a random walk
      of the compiled automaton ended in over GPT-2's vocabulary must be valid
      JSON that the validator accepts, compact, with object members in
      ascending name order (amounts: the amount pattern).
"""
import json
import os
import random
import re
import sys

import jsonschema

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'data', 'constraint')

# Characters a generated string is drawn from: ASCII, the escaped ones, and
# UTF-8 sequences of two, three and four bytes.
STRING_POOL = list('abcXYZ019 -_.~') + ['"', '\\', '/', '\n', '\t', '\b', '\f', '\r', 'é', 'Ω', '中', '€', '😀', '\U0010FFFF']
SHORT_ESCAPES = {'"': '\\"', '\\': '\\\\', '\b': '\\b', '\f': '\\f', '\n': '\\n', '\r': '\\r', '\t': '\\t'}


def validator(schema):
    cls = jsonschema.validators.validator_for(schema, default=jsonschema.Draft202012Validator)
    return cls(schema)


def compact_ascii(value):
    """enum and const values: compact, members sorted, non-ASCII escaped."""
    return json.dumps(value, ensure_ascii=True, separators=(',', ':'), sort_keys=True)


def gen_string(rng, lo, hi):
    out = []
    for _ in range(rng.randint(lo, hi)):
        ch = rng.choice(STRING_POOL)
        if ch in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[ch])
        elif ch == '/':
            out.append(rng.choice(['/', '\\/']))
        else:
            out.append(ch)
    return '"' + ''.join(out) + '"'


def gen_integer(rng):
    digits = rng.randint(1, 18)
    text = str(rng.randint(1, 9)) + ''.join(rng.choice('0123456789') for _ in range(digits - 1))
    if rng.random() < 0.2:
        text = '0'
    return ('-' if rng.random() < 0.3 else '') + text


def gen_number(rng):
    text = gen_integer(rng)
    if rng.random() < 0.5:
        text += '.' + ''.join(rng.choice('0123456789') for _ in range(rng.randint(1, 18)))
    if rng.random() < 0.4:
        text += rng.choice('eE') + rng.choice(['', '+', '-']) + str(rng.randint(0, 99))
    return text


def gen(rng, schema):
    """A document of the schema, as our compiler writes it."""
    if 'const' in schema:
        return compact_ascii(schema['const'])
    if 'enum' in schema:
        return compact_ascii(rng.choice(schema['enum']))
    if 'anyOf' in schema:
        return gen(rng, rng.choice(schema['anyOf']))
    kind = schema['type']
    if kind == 'null':
        return 'null'
    if kind == 'boolean':
        return rng.choice(['true', 'false'])
    if kind == 'integer':
        return gen_integer(rng)
    if kind == 'number':
        return gen_number(rng)
    if kind == 'string':
        lo = schema.get('minLength', 0)
        hi = schema.get('maxLength', lo + 12)
        return gen_string(rng, lo, hi)
    if kind == 'object':
        names = sorted(schema['properties'], key=lambda n: n.encode())
        return '{' + ','.join(compact_ascii(n) + ':' + gen(rng, schema['properties'][n]) for n in names) + '}'
    if kind == 'array':
        count = rng.randint(schema.get('minItems', 0), schema['maxItems'])
        return '[' + ','.join(gen(rng, schema['items']) for _ in range(count)) + ']'
    raise ValueError(kind)


def valid(check, text):
    try:
        value = json.loads(text)
    except ValueError:
        return False
    return check.is_valid(value)


def near_misses(rng, check, doc):
    """Changes of a conforming document the automaton must refuse."""
    out = []
    raw = doc.encode()
    # One byte changed (kept when the validator refuses the result).
    for _ in range(40):
        at = rng.randrange(len(raw))
        mutated = raw[:at] + bytes([rng.choice(b'{}[]",:0123456789.eE-+ntfalsx\\ ')]) + raw[at + 1:]
        try:
            text = mutated.decode()
        except UnicodeDecodeError:
            continue
        if mutated != raw and not valid(check, text):
            out.append({'doc': text, 'why': 'byte'})
        if len(out) >= 6:
            break
    value = json.loads(doc)
    # A member dropped, the members reordered, white space: kept when the
    # validator refuses the result, or it is not compact and ordered.
    candidates = []
    if isinstance(value, dict) and value:
        smaller = dict(value)
        del smaller[rng.choice(sorted(smaller))]
        candidates.append((json.dumps(smaller, separators=(',', ':'), sort_keys=True, ensure_ascii=False),
                           'member missing'))
        candidates.append((json.dumps(dict(reversed(list(value.items()))), separators=(',', ':'),
                                      ensure_ascii=False), 'members out of order'))
    for sep in (':', ','):
        at = doc.find(sep)
        if at > 0:
            candidates.append((doc[:at + 1] + ' ' + doc[at + 1:], 'space'))
    candidates.append((doc + ' ', 'trailing space'))
    for text, why in candidates:
        if text != doc and (not valid(check, text) or not compact_and_ordered(text)):
            out.append({'doc': text, 'why': why})
    return out


NUMBER_MISSES = ['1' * 19, '-' + '9' * 19, '01', '-01', '1.', '.5', '+1', '1e', '1e+', '1e123', '0.' + '5' * 19, '0x1F',
                 'NaN', 'Infinity']


def make_documents():
    schemas = json.load(open(os.path.join(DATA, 'schemas.json')))
    rng = random.Random(24)
    result = []
    for entry in schemas:
        if 'schema' not in entry:
            continue
        check = validator(entry['schema'])
        accept, refuse = [], []
        for _ in range(entry.get('documents', 12)):
            doc = gen(rng, entry['schema'])
            if not valid(check, doc):
                raise SystemExit('generated document does not validate: %s %r' % (entry['name'], doc))
            if doc not in accept:
                accept.append(doc)
        for doc in accept[:4]:
            refuse.extend(near_misses(rng, check, doc))
        if entry['schema'].get('type') in ('integer', 'number'):
            refuse.extend({'doc': n, 'why': 'number pattern'} for n in NUMBER_MISSES)
        result.append({'name': entry['name'], 'accept': accept, 'refuse': refuse})
    with open(os.path.join(DATA, 'documents.json'), 'w') as f:
        json.dump(result, f, ensure_ascii=False, indent=1)
        f.write('\n')
    print('wrote documents.json: %d schemas, %d documents, %d near misses' %
          (len(result), sum(len(r['accept']) for r in result), sum(len(r['refuse']) for r in result)))


def compact_and_ordered(doc):
    """No white space outside strings, and every object's names ascending."""
    in_string = escaped = False
    for ch in doc:
        if in_string:
            if escaped:
                escaped = False
            elif ch == '\\':
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in ' \t\n\r':
            return False
    ordered = [True]

    def hook(pairs):
        names = [n.encode() for n, _ in pairs]
        ordered[0] = ordered[0] and names == sorted(names)
        return dict(pairs)

    json.loads(doc, object_pairs_hook=hook)
    return ordered[0]


def check_walks():
    schemas = {e['name']: e for e in json.load(open(os.path.join(DATA, 'schemas.json')))}
    walks = json.load(open(os.path.join(DATA, 'walks.json')))
    bad = count = 0
    for name, docs in walks.items():
        entry = schemas[name]
        for doc in docs:
            count += 1
            body = doc.lstrip(' \t\n\r')
            if 'amount' in entry:
                ok = re.fullmatch(r'-?(0|[1-9][0-9]{0,17})\.[0-9]{%d}' % entry['amount'], body) is not None
            else:
                ok = valid(validator(entry['schema']), body) and compact_and_ordered(body)
            if not ok:
                bad += 1
                print('INVALID %s: %r' % (name, doc))
    print('%d walk documents checked, %d invalid' % (count, bad))
    return bad == 0


if __name__ == '__main__':
    if sys.argv[1:] == ['documents']:
        make_documents()
    elif sys.argv[1:] == ['walks']:
        sys.exit(0 if check_walks() else 1)
    else:
        raise SystemExit(__doc__)
