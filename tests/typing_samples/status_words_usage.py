"""The status words are typed by index: numbers in mm at 0..2, bit images and codes at 3..4.

Never run; only type-checked (see controller_usage.py for the N comments).
"""

from typing import Union

from zol_kov import KOVAxisController, StopSource


def supervise(axes: KOVAxisController, index: int) -> StopSource:
    words = axes.status_words(1)
    reveal_type(words[0])  # N: float
    reveal_type(words[2])  # N: float
    reveal_type(words[3] & 0x10)  # N: int
    any_word: Union[float, int] = words[index]
    if axes.is_running(1, words) and words[3] >> 16 & 2:
        axes.stop(1)
    print(axes.get_position(1, words) + words[1] + any_word)
    return StopSource(words[4])
