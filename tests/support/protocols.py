"""Objects whose number and sequence protocols run Python code, shared by the tests.

Conversion calls ``__float__``, ``__index__``, ``__len__``, ``__getitem__`` and
``__iter__``; these classes make each of them return what a test asks for,
raise, or run an action first.  Where an exception is to be raised it may be
given as an instance (raised as is, so a test can check its identity) or as a
class or factory (a fresh instance every time, so that repeated calls do not
grow one traceback).
"""


def throw(exc):
    raise exc() if callable(exc) else exc


class MyTypeError(TypeError):
    pass


class Unprintable:
    """An exception argument whose text cannot be made."""

    def __str__(self):
        raise RuntimeError("no text")


class Float:
    """A number with only ``__float__``, which returns ``value`` whatever its type."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    """A number with only ``__index__``, which returns ``value`` whatever its type."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Num:
    """A number through ``__float__`` (``value``) and ``__index__`` (``int(value)``).

    Each first runs ``action()`` when one is given: every time, or only the
    first time with ``once``.
    """

    def __init__(self, value, action=None, once=False):
        self.value, self.action, self.once = value, action, once

    def _act(self):
        if self.action is not None:
            action = self.action
            if self.once:
                self.action = None
            action()

    def __float__(self):
        self._act()
        return self.value

    def __index__(self):
        self._act()
        return int(self.value)


class Raising:
    """A number whose ``__float__`` and ``__index__`` raise ``exc``."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        throw(self.exc)

    def __index__(self):
        throw(self.exc)


class Seq:
    """A sequence iterated through ``__getitem__``; ``__len__`` returns ``length``
    (of any type; the item count by default) or raises ``len_exc``."""

    def __init__(self, items, length=None, len_exc=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.len_exc = len_exc

    def __len__(self):
        if self.len_exc is not None:
            throw(self.len_exc)
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class FailingIter(Seq):
    """A sequence whose iterator raises ``exc`` in place of item ``at`` (or after the last)."""

    def __init__(self, items, at, exc, **kwargs):
        super().__init__(items, **kwargs)
        self.at, self.exc = at, exc

    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == self.at:
                throw(self.exc)
            yield item
        if self.at == len(self.items):
            throw(self.exc)


class NoIter:
    """Looks like a sequence, but ``iter()`` refuses it."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    __iter__ = None


class GetItemOnly:
    """An old-style sequence: only ``__getitem__``, ending with IndexError."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]
