"""Stand-in data client: records every ``init`` call instead of signing in."""

calls = []


def init(*args, **kwargs):
    calls.append((args, kwargs))
