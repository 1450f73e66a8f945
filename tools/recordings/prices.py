"""The exchange's price ladder and the texts recordings write prices, sizes and times as.

Prices and sizes are kept as integer hundredths, so that every value written is exact (no float
noise such as 8.800000000000001 in a recording)."""

from __future__ import annotations

from datetime import datetime, timezone


def _tick_cents() -> list[int]:
    bands = [(101, 200, 1), (200, 300, 2), (300, 400, 5), (400, 600, 10),
             (600, 1000, 20), (1000, 2000, 50), (2000, 3000, 100),
             (3000, 5000, 200), (5000, 10000, 500), (10000, 100000, 1000)]
    out: list[int] = []
    for lo, hi, step in bands:
        out.extend(range(lo, hi, step))
    out.append(100000)
    return out


def fmt_cents(c: int) -> str:
    """Hundredths as the shortest decimal, as recordings write them: 2.1, 30, 18.62."""
    q, r = divmod(c, 100)
    if r == 0:
        return str(q)
    if r % 10 == 0:
        return f"{q}.{r // 10}"
    return f"{q}.{r:02d}"


TICK_CENTS = _tick_cents()
TICK_TEXT = [fmt_cents(c) for c in TICK_CENTS]
NTICKS = len(TICK_CENTS)  # 350
TOP = NTICKS - 1


def tick_index(price: float) -> int:
    """Index of the highest tick at or below ``price`` (clamped to the ladder)."""
    c = round(price * 100)
    lo, hi = 0, TOP
    if c <= TICK_CENTS[0]:
        return 0
    if c >= TICK_CENTS[TOP]:
        return TOP
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if TICK_CENTS[mid] <= c:
            lo = mid
        else:
            hi = mid - 1
    return lo


def iso_ms(ms: int) -> str:
    """A time as the exchange writes it in definitions: 2024-05-01T13:00:00.000Z."""
    dt = datetime.fromtimestamp(ms // 1000, tz=timezone.utc)
    return dt.strftime("%Y-%m-%dT%H:%M:%S.") + f"{ms % 1000:03d}Z"
