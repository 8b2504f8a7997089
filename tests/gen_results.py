"""Deterministic generator of section-check result files of any size.

Every section has four extremes, and every extreme carries all eight kinds of check (capacity,
shear, torsion, interaction, crack width, detailing, stress limitation, fatigue), laid out and
indented as the section-check program writes them. The same arguments always give the same
bytes.

    python tests/gen_results.py OUT.xml --size-mb 120            # UTF-16 (default)
    python tests/gen_results.py OUT.xml --size-mb 5 --encoding utf-8
    python tests/gen_results.py OUT.xml --sections 1000          # one per member
"""

import argparse
import codecs
import random

STRESS_CHECKS = ("Check_7_2_2_Concrete_fck", "Check_7_2_3_Concrete_fck",
                 "Check_7_2_5_Tendons_fpk", "Check_7_2_5_ReinforcementBars_fyk",
                 "Check_5_10_3_2_Tendons", "Check_5_10_2_1_1_Tendons")
FORCES = ("N", "Qy", "Qz", "Mx", "My", "Mz")


class _Writer:
    def __init__(self, rng):
        self.rng = rng
        self.parts = []

    def num(self):
        r = self.rng.random()
        if r < 0.05:
            return "0"
        return repr(round(self.rng.uniform(-5e5, 5e5), self.rng.randint(0, 9)))

    def leaf(self, depth, tag, text):
        self.parts.append(f"{'  ' * depth}<{tag}>{text}</{tag}>\n")

    def open(self, depth, tag):
        self.parts.append(f"{'  ' * depth}<{tag}>\n")

    def close(self, depth, tag):
        self.parts.append(f"{'  ' * depth}</{tag}>\n")

    def forces(self, depth, tag, values=None):
        self.open(depth, tag)
        values = values or {f: self.num() for f in FORCES}
        for f in FORCES:
            self.leaf(depth + 1, f, values[f])
        self.close(depth, tag)
        return values

    def numbers(self, depth, keys):
        for k in keys:
            self.leaf(depth + 1, k, self.num())
        self.leaf(depth + 1, "Result", self.rng.choice(("OK", "OK", "NotOK")))

    def check(self, depth, result_type, body):
        self.open(depth, "ResultOfCheck")
        self.leaf(depth + 1, "ResultType", result_type)
        self.leaf(depth + 1, "Description", f"Check of {result_type.lower()} according to code")
        self.open(depth + 1, "CheckResults")
        body(depth + 2)
        self.close(depth + 1, "CheckResults")
        self.close(depth, "ResultOfCheck")

    def base(self, depth, check, fill):
        self.open(depth, "ConcreteCheckResultBase")
        self.leaf(depth + 1, "Check", check)
        fill(depth)
        self.close(depth, "ConcreteCheckResultBase")


def _extreme(w: _Writer, depth: int, number: int):
    shear_keys = ("Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds", "CheckValue")
    w.open(depth, "SectionExtremeResult")
    w.leaf(depth + 1, "ExtremeId", str(number))
    w.forces(depth + 1, "InternalForces")
    w.open(depth + 1, "Results")
    d = depth + 2

    def capacity(dd):
        def fill(x):
            for group in ("Fu", "Fu1", "Fu2"):
                w.forces(x + 1, group)
            w.leaf(x + 1, "CheckValue", w.num())
            w.leaf(x + 1, "Result", "OK")
            w.leaf(x + 1, "Strain", w.num())
        w.base(dd, "Capacity", fill)

    def simple(check, keys):
        def body(dd):
            w.base(dd, check, lambda x: (w.forces(x + 1, "InternalForces"), w.numbers(x, keys)))
        return body

    def crack(dd):
        for term in ("CrackWidthShort", "CrackWidthLong"):
            w.base(dd, term, lambda x: w.numbers(x, ("N", "My", "Mz", "W", "Wlim", "CheckValue")))

    def detailing(dd):
        w.base(dd, "Detailing", lambda x: w.numbers(
            x, ("CheckValueLongReinf", "CheckValueShearReinf", "CheckValue")))

    def stress(dd):
        for term in ("StressLimitationShort", "StressLimitationLong"):
            for name in STRESS_CHECKS:
                def fill(x, name=name):
                    w.leaf(x + 1, "TypeCheck", name)
                    w.leaf(x + 1, "Stress", w.rng.choice((w.num(), w.num(), "NaN")))
                    w.leaf(x + 1, "StressLimit", w.num())
                    w.leaf(x + 1, "CheckValue", w.num())
                    w.leaf(x + 1, "Result", "OK")
                w.base(dd, term, fill)

    def fatigue(dd):
        extremes = {}

        def fill(x):
            extremes["max"] = w.forces(x + 1, "InternalForceMax")
            extremes["min"] = w.forces(x + 1, "InternalForceMin")
            w.leaf(x + 1, "CheckValue", w.num())
            w.leaf(x + 1, "DecissionMethod", "DamageEquivalentStress")
            w.leaf(x + 1, "Result", "OK")
        w.base(dd, "Fatigue", fill)
        for which in ("max", "min"):
            def shear_fill(x, which=which):
                w.open(x + 1, "Forces")
                w.forces(x + 2, "InternalForces", extremes[which])
                w.close(x + 1, "Forces")
                w.numbers(x, shear_keys)
            w.base(dd, "Shear", shear_fill)

    w.check(d, "Capacity", capacity)
    w.check(d, "Shear", simple("Shear", shear_keys))
    w.check(d, "Torsion", simple("Torsion", ("Ted", "Trdc", "Trdmax", "Trds", "Trd", "CheckValue")))
    w.check(d, "Interaction", simple("Interaction", (
        "Ned", "Medy", "Medz", "Ved", "Ted", "CheckValue", "CheckValueShearAndTorsion",
        "CheckValueShearTorsionAndBending")))
    w.check(d, "CrackWidth", crack)
    w.check(d, "Detailing", detailing)
    w.check(d, "StressLimitation", stress)
    w.check(d, "Fatigue", fatigue)
    w.close(depth + 1, "Results")
    w.close(depth, "SectionExtremeResult")


def section_text(rng: random.Random, section_id: int, extremes: int = 4) -> str:
    w = _Writer(rng)
    w.open(1, "SectionConcreteCheckResult")
    w.leaf(2, "SectionId", str(section_id))
    w.leaf(2, "Name", f"CS{section_id}")
    w.open(2, "ExtremeResults")
    for k in range(extremes):
        _extreme(w, 3, k + 1)
    w.close(2, "ExtremeResults")
    w.close(1, "SectionConcreteCheckResult")
    return "".join(w.parts)


def generate(path: str, size_mb: float = 0, encoding: str = "utf-16", seed: int = 1,
             extremes: int = 4, sections_wanted: int = 0) -> int:
    """Writes a result file of about `size_mb` megabytes, or of `sections_wanted` sections
    when given; returns the number of sections."""
    rng = random.Random(seed)
    target = int(size_mb * 1_000_000)
    encoder = codecs.getincrementalencoder(encoding)()
    written = 0
    sections = 0
    with open(path, "wb") as f:
        def put(text):
            nonlocal written
            data = encoder.encode(text)
            f.write(data)
            written += len(data)
        put(f'<?xml version="1.0" encoding="{encoding}"?>\n<ResultOfCheckProject>\n'
            '  <ProjectName>Generated</ProjectName>\n')
        while (sections < sections_wanted if sections_wanted else written < target) \
                or sections == 0:
            sections += 1
            put(section_text(rng, sections, extremes))
        put("</ResultOfCheckProject>\n")
        f.write(encoder.encode("", final=True))
    return sections


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("--size-mb", type=float, default=120)
    parser.add_argument("--encoding", default="utf-16")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--extremes", type=int, default=4)
    parser.add_argument("--sections", type=int, default=0,
                        help="write this many sections instead of --size-mb")
    args = parser.parse_args()
    n = generate(args.output, args.size_mb, args.encoding, args.seed, args.extremes,
                 args.sections)
    print(f"{args.output}: {n} sections, {n * args.extremes} extremes")


if __name__ == "__main__":
    main()
