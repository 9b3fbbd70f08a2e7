"""Run a pattern over a small sample of sign-in and purchase events."""

from kestrel import Event, match_events, near_miss_events, parse_pattern, sort_events

PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"

SAMPLE = [
    ("web", 0, "login", {"user": "ana"}),
    ("web", 40, "view", {"user": "ana"}),
    ("web", 95, "purchase", {"user": "ana", "amount": 12.5}),
    ("web", 10, "login", {"user": "bo"}),
    ("web", 60, "logout", {"user": "bo"}),
    ("web", 70, "purchase", {"user": "bo", "amount": 3.0}),
    ("web", 200, "login", {"user": "cy"}),
    ("web", 900, "purchase", {"user": "cy", "amount": 40.0}),
    ("app", 5, "login", {"user": "di"}),
    ("app", 20, "purchase", {"user": "ed", "amount": 9.0}),
]


def main() -> None:
    pattern = parse_pattern(PATTERN)
    events = sort_events([Event(*row) for row in SAMPLE])
    print(f"pattern: {PATTERN}")
    print(f"{len(events)} events")
    for match in match_events(pattern, events):
        print(f"match     {match!r} captures={match.captures}")
    for miss in near_miss_events(pattern, events):
        print(f"near miss {miss!r} detail={miss.detail}")


if __name__ == "__main__":
    main()
