#!/usr/bin/python3
"""Writes the tokenizer's test corpus, tests/data/gpt2/corpus.json: a JSON
array of texts covering prose, source code, digit runs, CJK, emoji and ZWJ
sequences, combining marks, Arabic, every white-space code point, control
characters, very long words and runs of spaces, the special token in odd
places, and seeded random mixtures. Deterministic; expected ids come from
make_tokenizer_expected.js.

Texts holding U+000B or U+0085 (white space for the reference tokenizer, not
for ours) or code points newer than Unicode 15.0 go to "divergent" instead,
where the expected ids are computed by the split rules themselves.
"""
import json
import random
import sys

PROSE = [
    "The harbour was quiet that morning. Gulls argued over the nets while the ferry, "
    "late again, idled by the pier with its engine coughing blue smoke into the fog.",
    "She didn't say much; she'd learned that people who talk least often hear the most. "
    "\"We'll see,\" she told him, and that was all. They're still waiting, aren't they? "
    "I'm sure you've noticed. It's what we'd expect. DON'T SHOUT. Don'T mix CASES.",
    "In 1969, 600 million people watched the landing; by 2024 the archive held 3.5 TB "
    "of footage, 12,000 photographs and a single 45-minute audio tape (catalogue no. 7B-1142).",
    "Chapter 12 -- \"The Long Way Round\"\n\nIt rained for three days. On the fourth, the "
    "river rose above the old mark (1.87 m) and the bridge was closed at 06:45.",
    "Prices: $4.99, \u20ac3,50, \u00a312.00 or \u00a5980; discounts of 15% apply to orders over 100 units.",
    "e-mail: first.last+tag@example.org; web: https://example.com/path?q=a&b=2#frag",
    "Well... maybe!!! Or not?! (Who knows?) [citation needed] {braces} <angle> |pipes| ~tilde~ `ticks`",
    "   Leading spaces, trailing spaces   \nand\ttabs\t\tbetween\t words.  \n\n\nThree blank lines above.",
    "Na\u00efve caf\u00e9 owners in Z\u00fcrich and S\u00e3o Paulo serve cr\u00e8me br\u00fbl\u00e9e; "
    "\u0141\u00f3d\u017a, \u010cesk\u00fd Krumlov, Reykjav\u00edk and \u00c5lesund are on the list.",
    "\u0391\u03b8\u03ae\u03bd\u03b1 \u03ba\u03b1\u03b9 \u0398\u03b5\u03c3\u03c3\u03b1\u03bb\u03bf\u03bd\u03af\u03ba\u03b7; "
    "\u041c\u043e\u0441\u043a\u0432\u0430 \u0438 \u041a\u0438\u0435\u0432; \u05d9\u05e8\u05d5\u05e9\u05dc\u05d9\u05dd.",
]

CODE = [
    "#include <vector>\n\nint sum(const std::vector<int>& v) {\n  int s = 0;\n  for (int x : v) s += x;\n"
    "  return s;  // 0 for an empty vector\n}\n",
    "def fib(n: int) -> int:\n    a, b = 0, 1\n    for _ in range(n):\n        a, b = b, a + b\n    return a\n\n"
    "print([fib(i) for i in range(20)])\n",
    '{"name": "vorn", "version": [0, 1, 0], "flags": {"fast": true, "safe": null}, "ratio": -1.25e-3}',
    "SELECT id, name FROM users WHERE age >= 18 AND name LIKE 'A%' ORDER BY id DESC LIMIT 10;",
    "x=1;y=x<<3|0xFF&~0b1010;z=y>>>2;if(x!==y&&y>=z){console.log(`v=${x}`)}",
    "fn main() {\n\tlet v: Vec<u8> = (0..=255).collect();\n\tprintln!(\"{:?}\", &v[..4]);\n}\n",
    "<html><body class=\"main\"><p id='p1'>Hello &amp; welcome</p></body></html>",
    "diff --git a/x.c b/x.c\n@@ -1,3 +1,3 @@\n-int a = 1;\n+int a = 2;\n \treturn a;\n",
]

DIGITS = [
    "3141592653589793238462643383279502884197169399375105820974944592307816406286208998628034825342117067",
    "0" * 300 + "1",
    "1234567890" * 50,
    "x1 a 1 2024 12:30 3.14159 1e-9 -42 +7 1,000,000 0x1F 007 v2.0.1",
    "\u0660\u0661\u0662\u0663 \u0966\u0967\u0968 \uff11\uff12\uff13 \u2160\u2161\u2162 \u00bd\u00bc \u00b2\u00b3 \u2460\u2461",
]

CJK = [
    "\u4eca\u5929\u5929\u6c14\u5f88\u597d\uff0c\u6211\u4eec\u53bb\u516c\u56ed\u6563\u6b65\u5427\u3002"
    "\u8fd9\u662f\u4e00\u4e2a\u7b80\u5355\u7684\u6d4b\u8bd5\u53e5\u5b50\u3002",
    "\u6771\u4eac\u306f\u65e5\u672c\u306e\u9996\u90fd\u3067\u3059\u3002\u30ab\u30bf\u30ab\u30ca\u3068"
    "\u3072\u3089\u304c\u306a\u3001\u305d\u3057\u3066\u6f22\u5b57\u3002\u30e9\u30fc\u30e1\u30f3\u3092"
    "\u98df\u3079\u307e\u3057\u305f\uff01",
    "\ud55c\uad6d\uc5b4 \ubb38\uc7a5\uc785\ub2c8\ub2e4. \uc11c\uc6b8\uc740 \ud070 \ub3c4\uc2dc\uc785\ub2c8\ub2e4.",
    "\u4e2d\u6587English\u6df7\u5408mixed\u6587\u672c123\u6570\u5b57",
    "\U00020000\U00020001\U0002a6d6 \u3400\u3401 \uf900\uf901",
]

EMOJI = [
    "\U0001f600\U0001f603\U0001f604 \U0001f44d\U0001f3fd \U0001f1eb\U0001f1f7\U0001f1ef\U0001f1f5 \u2764\ufe0f",
    "\U0001f468\u200d\U0001f469\u200d\U0001f467\u200d\U0001f466 family, \U0001f469\u200d\U0001f4bb coder, "
    "\U0001f3f3\ufe0f\u200d\U0001f308 flag, \U0001f9d1\U0001f3ff\u200d\U0001f91d\u200d\U0001f9d1\U0001f3fb",
    "1\ufe0f\u20e3 #\ufe0f\u20e3 *\ufe0f\u20e3 \u00a9\ufe0f \u2122 \U0001f44b\U0001f3fb\U0001f44b\U0001f3fc\U0001f44b\U0001f3fd",
    "ok\U0001f44cok \U0001f525\U0001f525\U0001f525!!!",
]

MARKS = [
    "e\u0301 a\u0300 o\u0308 n\u0303 \u0041\u030a \u1e9b\u0323",
    "Z\u0351\u036b\u0343\u036a\u0302\u036b\u033d\u034f\u0334\u0319\u0324\u031e\u0349\u035a\u032f\u031e\u0320\u034da"
    "\u0340\u0341l\u0346\u0304g\u0350o\u0352",
    "\u0939\u093f\u0928\u094d\u0926\u0940 \u092d\u093e\u0937\u093e; \u0e20\u0e32\u0e29\u0e32\u0e44\u0e17\u0e22; "
    "\u0ba4\u0bae\u0bbf\u0bb4\u0bcd",
    "\u0627\u0644\u0644\u063a\u0629 \u0627\u0644\u0639\u0631\u0628\u064a\u0629 \u062c\u0645\u064a\u0644\u0629 "
    "\u062c\u062f\u064b\u0627. \u0645\u064e\u0631\u0652\u062d\u064e\u0628\u064b\u0627 \u0661\u0662\u0663 \u061f",
    "\u0627\u0644\u0639\u0631\u0628\u064a\u0629 English \u0639\u0631\u0628\u064a 2024 \u0641\u064a \u0627\u0644\u0646\u0635",
]

SPECIAL = [
    "<|endoftext|>",
    "start<|endoftext|>end",
    "word<|endoftext|><|endoftext|>word",
    " <|endoftext|> spaced <|endoftext|>",
    "<|endoftext|<|endoftext|>|>",
    "<|endof<|endoftext|>text|>",
]

# White space of the Part's class ([\t\n\f\r] and category Z) and near misses
# that are no white space for either side (format characters).
WHITE = ["\t", "\n", "\x0c", "\r", " ", "\u00a0", "\u1680"] + [chr(c) for c in range(0x2000, 0x200B)] + [
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
NOT_WHITE = ["\u180e", "\u200b", "\u200c", "\u200d", "\u2060", "\ufeff"]
DIVERGENT_WHITE = ["\x0b", "\x85"]


def white_space_texts():
    out = []
    for w in WHITE + NOT_WHITE:
        out.append("a" + w + "b")
        out.append("a " + w + "b")
        out.append("a" + w + w + "b")
        out.append(w + " x")
        out.append("x" + w)
        out.append(" " + w + w + "1")
        out.append(w + "!" + w)
    out.append("".join(WHITE))
    out.append("|".join(WHITE + NOT_WHITE))
    return out


def control_texts():
    controls = [chr(c) for c in range(0, 0x20) if chr(c) not in "\t\n\x0b\x0c\r"] + ["\x7f"] + [
        chr(c) for c in range(0x80, 0xA0) if c != 0x85]
    return ["".join(controls), "a".join(controls), " ".join(controls), "x\x00y\x00\x00z", "\x1b[31mred\x1b[0m"]


def long_texts():
    return [
        "a" * 5000,
        "Supercalifragilisticexpialidocious" * 60,
        " " * 3000 + "x",
        "x" + " " * 2999,
        "\n" * 700 + "end",
        " \t" * 800 + "y",
        "word " * 400,
        "!" * 2000,
        "\u4e00" * 1500,
        "\U0001f600" * 600,
        "ab" * 2000 + " " + "ba" * 2000,
    ]


def random_texts(rng, count, pools):
    out = []
    for _ in range(count):
        n = rng.randint(1, 200)
        chars = []
        for _ in range(n):
            pool = rng.choice(pools)
            chars.append(chr(rng.choice(pool)) if isinstance(pool, list) else chr(rng.randint(*pool)))
        out.append("".join(chars))
    return out


def main():
    rng = random.Random(20261206)
    ascii_pool = (0x20, 0x7E)
    pools = [ascii_pool, ascii_pool, ascii_pool, (0x30, 0x39), [ord(w) for w in WHITE], (0xC0, 0x24F),
             (0x370, 0x3FF), (0x400, 0x4FF), (0x590, 0x5FF), (0x600, 0x6FF), (0x900, 0x97F), (0x3040, 0x30FF),
             (0x4E00, 0x9FFF), (0xAC00, 0xD7A3), (0x1F300, 0x1F64F), (0x300, 0x36F), (0x2000, 0x206F),
             [0x27], [ord(c) for c in "stremvld"]]
    documents = PROSE + CODE + DIGITS + CJK + EMOJI + MARKS + SPECIAL + white_space_texts() + control_texts() + \
        long_texts() + random_texts(rng, 300, pools)
    divergent = []
    for w in DIVERGENT_WHITE:
        divergent += ["a" + w + "b", "a " + w + "b", " " + w + "x", "a" + w + w + "b", w + " x", "x" + w,
                      " " + w + w + "1", "x " + w, "  " + w + "y", w + "!" + w, "a\n" + w + "\nb"]
    divergent += ["\x0b\x85 \x0b\x85", "end of line\x85next line\x0bvertical tab"]
    json.dump({"documents": documents, "divergent": divergent}, sys.stdout, ensure_ascii=True, indent=0)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
