"""Text of numeric cells in OptimizationResultElement._serialize.

The extension formats exact ints that fit in int64 and exact floats itself
instead of calling str(); every other value goes through str(). Each test here
compares what _serialize puts in "output_display_data" with Python's own str()
of the same values.
"""

import array
import enum
import math
import random
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from nembra.result import OptimizationResultElement

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def texts(values):
    """The display texts that _serialize produces for values, in order."""
    values = list(values)
    analysis = {i: v for i, v in enumerate(values)}
    element = OptimizationResultElement(None, analysis)
    return element._serialize(range(len(values)))["output_display_data"]


def assert_same_as_str(values):
    values = list(values)
    got = texts(values)
    assert type(got) is list
    assert len(got) == len(values)
    expected = [str(v) for v in values]
    # str() hands back whatever __str__ returned, str subclasses included.
    assert [type(text) for text in got] == [type(text) for text in expected]
    if got != expected:
        wrong = [(v, g, e) for v, g, e in zip(values, got, expected) if g != e]
        details = ", ".join(
            "%r (bits %016x): got %r, str() gives %r" % (v, float_bits(v), g, e)
            if type(v) is float
            else "%r: got %r, str() gives %r" % (v, g, e)
            for v, g, e in wrong[:10]
        )
        pytest.fail("%d of %d texts differ from str(): %s" % (len(wrong), len(values), details))


def float_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def float_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def random_bit_pattern_doubles(rng, n):
    return array.array("d", rng.randbytes(8 * n)).tolist()


def random_human_values(rng, n):
    """Values like the ones a table of results is made of: a few decimals."""
    values = []
    for _ in range(n):
        k = rng.randrange(0, 13)
        d = rng.randrange(0, 9)
        x = round(rng.random() * 10**k, d)
        values.append(-x if rng.random() < 0.3 else x)
    return values


EDGE_FLOATS = [
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    math.copysign(math.nan, -1.0),
    float_from_bits(0x7FF0000000000001),  # signalling nan
    float_from_bits(0x7FF8000000000123),  # quiet nan with a payload
    float_from_bits(0xFFFFFFFFFFFFFFFF),  # negative nan, all payload bits set
    5e-324,  # smallest subnormal
    -5e-324,
    1e-323,
    2.225073858507201e-308,  # largest subnormal
    2.2250738585072014e-308,  # smallest normal
    1.7976931348623157e308,  # largest finite
    -1.7976931348623157e308,
    1e16,  # first value written with an exponent
    -1e16,
    9999999999999998.0,  # last value written in fixed notation
    1e16 + 2.0,
    1234567890123456.8,
    1e15,
    1e17,
    2.0**53,
    2.0**53 + 2.0,
    2.0**63,
    2.0**64,
    123456789012345678.0,
    1e-4,  # smallest power of ten written in fixed notation
    0.0001,
    0.00012345678901234567,
    9.999999999999999e-05,  # largest value below 1e-4: exponent
    1e-5,
    1.5e-05,
    1.2345e100,
    1e22,
    1e23,
    1e100,
    1e-100,
    1e308,
    1e-308,
    0.1,
    0.2,
    0.3,
    0.1 + 0.2,
    1 / 3,
    2 / 3,
    1.0,
    -1.0,
    100.0,
    1234.5678,
    -1234.5678,
    0.5,
    1.5,
    math.pi,
    math.e,
    4.35,
    2.675,
    5e-310,
    1.1754943508222875e-38,  # smallest normal float32
    3.4028234663852886e38,  # largest float32
]

EDGE_INTS = [
    0,
    1,
    -1,
    7,
    -7,
    9,
    10,
    -10,
    99,
    100,
    10**15,
    10**16,
    10**18,
    -(10**18),
    INT64_MAX,
    INT64_MAX - 1,
    INT64_MIN,
    INT64_MIN + 1,
    INT64_MAX + 1,  # first values past int64: formatted by str()
    INT64_MIN - 1,
    2**64 - 1,
    2**64,
    -(2**64),
    10**19,
    -(10**19),
    10**100,
    -(10**100),
    2**32,
    -(2**31),
    2**31 - 1,
]


@pytest.mark.parametrize("value", EDGE_FLOATS, ids=repr)
def test_edge_floats(value):
    assert_same_as_str([value])


@pytest.mark.parametrize("value", EDGE_INTS, ids=repr)
def test_edge_ints(value):
    assert_same_as_str([value])


def test_edge_values_together():
    values = EDGE_FLOATS + EDGE_INTS
    assert_same_as_str(values + values[::-1])


def test_powers_of_two_and_neighbours():
    values = []
    for e in range(-1074, 1024):
        x = 2.0**e
        values += [x, -x, math.nextafter(x, 0.0), math.nextafter(x, math.inf)]
    assert_same_as_str(values)


def test_powers_of_ten_and_neighbours():
    values = []
    for e in range(-323, 309):
        x = float("1e%d" % e)
        values += [x, -x, math.nextafter(x, 0.0), math.nextafter(x, math.inf)]
        values += [float("%de%d" % (m, e)) for m in (2, 5, 9, 11, 99)]
    assert_same_as_str(values)


def test_every_decimal_exponent_in_both_notations():
    # Values that straddle each switch between fixed and exponent notation,
    # with one to seventeen significant digits.
    values = []
    for e in range(-8, 20):
        for digits in ("1", "12", "1234567", "123456789012345", "12345678901234567", "99999999999999999"):
            x = float("0.%se%d" % (digits, e))
            values += [x, -x, math.nextafter(x, 0.0), math.nextafter(x, math.inf)]
    assert_same_as_str(values)


def test_integral_floats_near_the_fixed_notation_limit():
    values = [float(n) for n in range(10**16 - 2000, 10**16 + 2000, 2)]
    values += [float(n) for n in range(10**15 - 1000, 10**15 + 1000)]
    assert_same_as_str(values)


def test_ints_around_the_int64_limits():
    values = []
    for edge in (INT64_MIN, INT64_MAX, 0):
        values += range(edge - 300, edge + 300)
    values += [10**k + d for k in range(25) for d in (-1, 0, 1)]
    values += [-v for v in values]
    assert_same_as_str(values)


def test_the_same_values_repeatedly():
    value = 1234.5678
    got = texts([value] * 1000 + [42] * 1000)
    assert got == [str(value)] * 1000 + ["42"] * 1000


bit_pattern_doubles = st.integers(min_value=0, max_value=2**64 - 1).map(float_from_bits)
human_floats = st.tuples(
    st.integers(min_value=-(10**13), max_value=10**13), st.integers(min_value=0, max_value=12)
).map(lambda t: t[0] / 10 ** t[1])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(), max_size=40))
def test_any_floats(values):
    assert_same_as_str(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(allow_subnormal=True, min_value=-1e-307, max_value=1e-307), max_size=40))
def test_tiny_and_subnormal_floats(values):
    assert_same_as_str(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(bit_pattern_doubles, max_size=40))
def test_floats_from_bit_patterns(values):
    assert_same_as_str(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(human_floats, max_size=40))
def test_human_floats(values):
    assert_same_as_str(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(), max_size=40))
def test_any_ints(values):
    assert_same_as_str(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(min_value=-(2**65), max_value=2**65), max_size=40))
def test_ints_near_int64(values):
    assert_same_as_str(values)


mixed = st.one_of(st.floats(), st.integers(), st.booleans(), st.text(max_size=5), st.none())


@settings(max_examples=300, deadline=None)
@given(st.lists(mixed, max_size=40))
def test_mixed_values(values):
    assert_same_as_str(values)


BULK_CHUNKS = 10
BULK_CHUNK_SIZE = 100_000


@pytest.mark.parametrize("chunk", range(BULK_CHUNKS))
def test_bulk_random_bit_patterns(chunk):
    rng = random.Random(0x6E656D627261 + chunk)
    assert_same_as_str(random_bit_pattern_doubles(rng, BULK_CHUNK_SIZE))


@pytest.mark.parametrize("chunk", range(4))
def test_bulk_random_human_values(chunk):
    rng = random.Random(0x68756D616E + chunk)
    assert_same_as_str(random_human_values(rng, 50_000))


# Subclasses and other types are never formatted natively: str() decides.


class Colour(enum.IntEnum):
    RED = 1
    GREEN = 2


class Flags(enum.IntFlag):
    A = 1
    B = 2


class PlainInt(int):
    pass


class PlainFloat(float):
    pass


class ReprInt(int):
    def __repr__(self):
        return "ReprInt(%d)" % int(self)


class StrInt(int):
    def __str__(self):
        return "<%d>" % int(self)


class ReprFloat(float):
    def __repr__(self):
        return "ReprFloat(%r)" % float(self)


class StrReprFloat(float):
    def __repr__(self):
        return "repr %r" % float(self)

    def __str__(self):
        return "str %r" % float(self)


class StrSubclassText(float):
    """__str__ returns a str subclass holding non-ASCII text."""

    class Text(str):
        pass

    def __str__(self):
        return StrSubclassText.Text("≈%r" % float(self))


FALLBACK_VALUES = [
    True,
    False,
    Colour.RED,
    Colour.GREEN,
    Flags.A | Flags.B,
    PlainInt(5),
    PlainInt(-(2**70)),
    PlainFloat(1.5),
    PlainFloat(-0.0),
    ReprInt(7),
    StrInt(8),
    ReprFloat(2.5),
    StrReprFloat(1e16),
    StrSubclassText(0.1),
    1 + 2j,
    None,
    "1.5",
    "",
    b"1",
    [1.5, 2],
    (0.1,),
    {"a": 1.0},
]


@pytest.mark.parametrize("value", FALLBACK_VALUES, ids=repr)
def test_other_types_use_str(value):
    assert_same_as_str([value])


def test_other_types_mixed_with_numbers():
    values = []
    for v in FALLBACK_VALUES:
        values += [v, 1.25, 3]
    assert_same_as_str(values)


def test_decimal_and_fraction_use_str():
    from decimal import Decimal
    from fractions import Fraction

    assert_same_as_str([Decimal("1.10"), Decimal("-0"), Decimal("NaN"), Fraction(1, 3), Fraction(4, 2)])


class StrFails(float):
    def __str__(self):
        raise LookupError("no text for this value")


def test_error_from_str_propagates():
    with pytest.raises(LookupError, match="no text for this value"):
        texts([1.0, 2, StrFails(3.0), 4.0])


@pytest.mark.skipif(not hasattr(sys, "set_int_max_str_digits"), reason="no int->str digit limit")
class TestIntDigitLimit:
    @pytest.fixture(autouse=True)
    def restore_limit(self):
        old = sys.get_int_max_str_digits()
        yield
        sys.set_int_max_str_digits(old)

    @pytest.mark.parametrize("value", [10**5000, -(10**5000)], ids=["positive", "negative"])
    def test_huge_int_over_the_limit_raises_like_str(self, value):
        sys.set_int_max_str_digits(1000)
        with pytest.raises(ValueError) as from_str:
            str(value)
        with pytest.raises(ValueError) as from_texts:
            texts([value])
        assert str(from_texts.value) == str(from_str.value)

    def test_huge_int_within_the_limit(self):
        sys.set_int_max_str_digits(0)
        assert_same_as_str([10**5000, -(10**5000) - 1, 2**20000])

    def test_limit_does_not_touch_int64(self):
        sys.set_int_max_str_digits(640)  # the smallest limit Python accepts
        assert_same_as_str([INT64_MAX, INT64_MIN, 10**18, 0])
