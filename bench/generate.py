"""Seeded synthetic customer records with ground truth.

Invents people and writes several records per person, spread over the three
sources of `examples/customer.yaml` (crm, webshop, loyalty), each source carrying
the fields its attribute map gives it. The records carry the noise that real
customer data has, so that blocking and matching have something to do:

- typos (substitution by a keyboard neighbour, deletion, doubling,
  transposition of two neighbours);
- nicknames (Robert / Bob, William / Bill, Elizabeth / Liz, ...), some of which
  the nickname normaliser knows and some it does not (Catherine / Kate);
- case and spacing (JOHN, john, "  John ", "Mary  Ann");
- phone formats (+44 20 7946 0018, 020-7946-0018, (555) 123-4567, ...);
- Gmail dots and plus tags, upper-case addresses, a second (work) address;
- moved addresses: a quarter of the people have an old address that some of
  their records still carry, with its own city, postcode and coordinates;
- street-type abbreviations, postcodes without their space, date formats;
- missing fields (the key is absent: an empty string would be a present value
  and would pull every such record into one block);
- a few placeholder values (loyalty number 0000000, test@example.com).

Output: the entity list as one JSON array (one record per line) and the truth
file, a JSON object mapping each entity id to the id of the person it
describes. Both are streamed: records are produced in windows that are
shuffled before writing, so memory stays flat whatever the record count.

The output depends only on the seed and the record count: the same arguments
give the same bytes.

    python bench/generate.py --records 10000 --seed 7 --out e.json --truth t.json

The bundled `examples/customers.json` and `examples/customers_truth.json` are
`--records 300 --seed 2024` (EXAMPLE_RECORDS, EXAMPLE_SEED).
"""

from __future__ import annotations

import argparse
import bisect
import functools
import itertools
import json
import random
import sys
import time
import typing

TENANT_ID = "6f1c2a9e-4b3d-4e8f-9a21-5c7d0e3b8f14"
SOURCES = ("crm", "webshop", "loyalty")
SOURCE_WEIGHTS = (0.42, 0.36, 0.22)
# Records per person: most people appear once or twice, a few many times.
RECORDS_PER_PERSON = (1, 2, 3, 4, 5, 6)
RECORDS_PER_PERSON_WEIGHTS = (44, 29, 15, 7, 3, 2)
WINDOW = 8192
EXAMPLE_RECORDS = 300
EXAMPLE_SEED = 2024

# Given names with their nicknames. The first nicknames are the ones people
# really use; names without nicknames keep the table honest about the many
# people whose first name never varies.
FIRST_NAMES = [
    ("Robert", ("Bob", "Rob", "Bobby", "Robbie")),
    ("William", ("Bill", "Will", "Billy", "Liam")),
    ("Elizabeth", ("Liz", "Beth", "Betty", "Lizzy")),
    ("Margaret", ("Maggie", "Meg", "Peggy")),
    ("James", ("Jim", "Jimmy", "Jamie")),
    ("John", ("Jack", "Johnny")),
    ("Richard", ("Rich", "Rick", "Dick", "Richie")),
    ("Michael", ("Mike", "Mick", "Mikey")),
    ("Thomas", ("Tom", "Tommy")),
    ("Christopher", ("Chris",)),
    ("Katherine", ("Kate", "Kathy", "Katie")),
    ("Catherine", ("Cathy", "Kate", "Cath")),
    ("Edward", ("Ed", "Eddie", "Ted", "Ned")),
    ("Daniel", ("Dan", "Danny")),
    ("David", ("Dave",)),
    ("Andrew", ("Andy", "Drew")),
    ("Anthony", ("Tony",)),
    ("Alexander", ("Alex",)),
    ("Benjamin", ("Ben", "Benny")),
    ("Charles", ("Charlie", "Chuck")),
    ("Jennifer", ("Jen", "Jenny")),
    ("Patricia", ("Pat", "Trish", "Patty")),
    ("Susan", ("Sue", "Susie")),
    ("Rebecca", ("Becky", "Becca")),
    ("Deborah", ("Debbie", "Deb")),
    ("Samuel", ("Sam", "Sammy")),
    ("Matthew", ("Matt",)),
    ("Nicholas", ("Nick", "Nicky")),
    ("Joseph", ("Joe", "Joey")),
    ("Henry", ("Harry", "Hal")),
    ("Timothy", ("Tim",)),
    ("Victoria", ("Vicky", "Tori")),
    ("Steven", ("Steve",)),
    ("Peter", ("Pete",)),
    ("Philip", ("Phil",)),
    ("Amanda", ("Mandy",)),
    ("Frederick", ("Fred", "Freddy")),
    ("Gregory", ("Greg",)),
    ("Kenneth", ("Ken", "Kenny")),
    ("Ronald", ("Ron", "Ronnie")),
    ("Olivia", ("Liv",)),
    ("Amelia", ("Millie",)),
    ("Isabella", ("Bella", "Izzy")),
    ("Jessica", ("Jess",)),
    ("Emily", ()),
    ("Sophie", ()),
    ("Charlotte", ("Lottie",)),
    ("Emma", ()),
    ("Grace", ()),
    ("Chloe", ()),
    ("Hannah", ()),
    ("Lucy", ()),
    ("Sarah", ()),
    ("Laura", ()),
    ("Rachel", ()),
    ("Helen", ()),
    ("Claire", ()),
    ("Joanne", ("Jo",)),
    ("Paul", ()),
    ("Mark", ()),
    ("Simon", ()),
    ("Gareth", ()),
    ("Oliver", ("Ollie",)),
    ("George", ()),
    ("Harry", ()),
    ("Jacob", ("Jake",)),
    ("Noah", ()),
    ("Oscar", ()),
    ("Leo", ()),
    ("Arthur", ("Art",)),
    ("Mohammed", ("Mo",)),
    ("Muhammad", ()),
    ("Aisha", ()),
    ("Fatima", ()),
    ("Priya", ()),
    ("Raj", ()),
    ("Arjun", ()),
    ("Wei", ()),
    ("Mei", ()),
    ("Chen", ()),
    ("Yuki", ()),
    ("Kwame", ()),
    ("Ngozi", ()),
    ("Siobhan", ()),
    ("Niamh", ()),
    ("Aoife", ()),
    ("Sean", ()),
    ("Ciaran", ()),
    ("Rhys", ()),
    ("Dylan", ()),
    ("Ffion", ()),
    ("Zoë", ("Zoe",)),
    ("José", ("Jose", "Pepe")),
    ("Chloé", ("Chloe",)),
    ("Björn", ("Bjorn",)),
    ("Mary Ann", ("Mary-Ann", "Maryann")),
    ("Anne-Marie", ("Anne Marie", "Annemarie")),
]

# Surnames, most common first; drawn with weights falling like a Zipf law so
# that Smith and Jones are frequent and the tail is long.
LAST_NAMES = [
    "Smith", "Jones", "Williams", "Taylor", "Brown", "Davies", "Evans", "Wilson",
    "Thomas", "Johnson", "Roberts", "Robinson", "Thompson", "Wright", "Walker",
    "White", "Edwards", "Hughes", "Green", "Hall", "Lewis", "Harris", "Clarke",
    "Patel", "Jackson", "Wood", "Turner", "Martin", "Cooper", "Hill", "Ward",
    "Morris", "Moore", "Clark", "Lee", "King", "Baker", "Harrison", "Morgan",
    "Allen", "James", "Scott", "Phillips", "Watson", "Davis", "Parker", "Price",
    "Bennett", "Young", "Griffiths", "Mitchell", "Kelly", "Cook", "Carter",
    "Richardson", "Bailey", "Collins", "Bell", "Shaw", "Murphy", "Miller", "Cox",
    "Richards", "Khan", "Marshall", "Anderson", "Simpson", "Ellis", "Adams",
    "Singh", "Begum", "Wilkinson", "Foster", "Chapman", "Powell", "Webb",
    "Rogers", "Gray", "Mason", "Ali", "Hunt", "Hussain", "Campbell", "Matthews",
    "Owen", "Palmer", "Holmes", "Mills", "Barnes", "Knight", "Lloyd", "Butler",
    "Russell", "Barker", "Fisher", "Stevens", "Jenkins", "Murray", "Dixon",
    "Harvey", "Graham", "Pearson", "Ahmed", "Fletcher", "Walsh", "Kaur",
    "Gibson", "Howard", "Andrews", "Stewart", "Elliott", "Reynolds", "Saunders",
    "Payne", "Fox", "Ford", "Pearce", "Day", "Brooks", "West", "Lawrence", "Cole",
    "Atkinson", "Bradley", "Spencer", "Gill", "Dawson", "Ball", "Burton",
    "O'Brien", "O'Connor", "O'Neill", "McDonald", "MacDonald", "McCarthy",
    "MacLeod", "Fitzgerald", "Nguyen", "Wang", "Zhang", "Li", "Chen", "Kim",
    "Kowalski", "Nowak", "Müller", "Schmidt", "García", "Fernández", "Rossi",
    "Silva", "Santos", "Okafor", "Mensah", "Abubakar", "Sharma", "Gupta",
    "Chowdhury", "Rahman", "Smith-Jones", "Lloyd-Webber", "Van der Berg",
    "De Souza", "Hargreaves", "Ainsworth", "Blackwood", "Cartwright", "Featherstone",
    "Haworth", "Illingworth", "Kettlewell", "Longbottom", "Micklethwaite",
    "Ormerod", "Pickersgill", "Rawnsley", "Sutcliffe", "Thistlethwaite",
    "Uttley", "Wadsworth", "Yardley", "Ackroyd", "Boothroyd", "Crowther",
    "Dewhurst", "Entwistle", "Fothergill", "Greenhalgh", "Holroyd", "Ibbotson",
]

# City, postcode areas, latitude, longitude, written variants of the name.
CITIES = [
    ("London", ("E", "EC", "N", "NW", "SE", "SW", "W", "WC"), 51.5074, -0.1278, ()),
    ("Birmingham", ("B",), 52.4862, -1.8904, ("Brum",)),
    ("Manchester", ("M",), 53.4808, -2.2426, ()),
    ("Leeds", ("LS",), 53.8008, -1.5491, ()),
    ("Glasgow", ("G",), 55.8642, -4.2518, ()),
    ("Liverpool", ("L",), 53.4084, -2.9916, ()),
    ("Bristol", ("BS",), 51.4545, -2.5879, ()),
    ("Sheffield", ("S",), 53.3811, -1.4701, ()),
    ("Edinburgh", ("EH",), 55.9533, -3.1883, ()),
    ("Cardiff", ("CF",), 51.4816, -3.1791, ("Caerdydd",)),
    ("Leicester", ("LE",), 52.6369, -1.1398, ()),
    ("Nottingham", ("NG",), 52.9548, -1.1581, ()),
    ("Newcastle upon Tyne", ("NE",), 54.9783, -1.6178, ("Newcastle",)),
    ("Coventry", ("CV",), 52.4068, -1.5197, ()),
    ("Bradford", ("BD",), 53.7960, -1.7594, ()),
    ("Belfast", ("BT",), 54.5973, -5.9301, ()),
    ("Brighton", ("BN",), 50.8225, -0.1372, ("Brighton and Hove",)),
    ("Southampton", ("SO",), 50.9097, -1.4044, ()),
    ("Portsmouth", ("PO",), 50.8198, -1.0880, ()),
    ("Plymouth", ("PL",), 50.3755, -4.1427, ()),
    ("Reading", ("RG",), 51.4543, -0.9781, ()),
    ("Oxford", ("OX",), 51.7520, -1.2577, ()),
    ("Cambridge", ("CB",), 52.2053, 0.1218, ()),
    ("York", ("YO",), 53.9590, -1.0815, ()),
    ("Norwich", ("NR",), 52.6309, 1.2974, ()),
    ("Exeter", ("EX",), 50.7184, -3.5339, ()),
    ("Aberdeen", ("AB",), 57.1497, -2.0943, ()),
    ("Dundee", ("DD",), 56.4620, -2.9707, ()),
    ("Swansea", ("SA",), 51.6214, -3.9436, ()),
    ("Stoke-on-Trent", ("ST",), 53.0027, -2.1794, ("Stoke",)),
    ("Derby", ("DE",), 52.9225, -1.4746, ()),
    ("Hull", ("HU",), 53.7676, -0.3274, ("Kingston upon Hull",)),
    ("Milton Keynes", ("MK",), 52.0406, -0.7594, ()),
    ("Bath", ("BA",), 51.3811, -2.3590, ()),
    ("Canterbury", ("CT",), 51.2802, 1.0789, ()),
    ("Chester", ("CH",), 53.1934, -2.8931, ()),
    ("Lancaster", ("LA",), 54.0466, -2.8007, ()),
    ("Inverness", ("IV",), 57.4778, -4.2247, ()),
    ("Wolverhampton", ("WV",), 52.5862, -2.1288, ()),
    ("Sunderland", ("SR",), 54.9069, -1.3838, ()),
]
CITY_WEIGHTS = [40, 12, 10, 8, 7, 6, 6, 6, 5, 5, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2,
                2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 2, 2]

STREET_NAMES = [
    "Acacia", "Albert", "Alexandra", "Beech", "Birch", "Bridge", "Broad", "Castle",
    "Cedar", "Chapel", "Church", "Clarence", "Cromwell", "Dale", "Elm", "Fairfield",
    "Field", "George", "Glebe", "Grange", "Green", "Grove", "Hawthorn", "High",
    "Highfield", "Hill", "Holly", "Kings", "Laburnum", "Lime", "Manor", "Maple",
    "Market", "Meadow", "Mill", "Moor", "New", "North", "Oak", "Orchard", "Park",
    "Priory", "Queens", "Queen Victoria", "Railway", "Rectory", "Riverside",
    "Rose", "St John's", "St Mary's", "Sandy", "School", "Spring", "Station",
    "Stanley", "Sycamore", "The", "Victoria", "Vicarage", "West", "Westfield",
    "Willow", "Windmill", "Windsor", "Wellington", "York", "Nelson", "Coronation",
    "Jubilee", "Springfield", "Brook", "Heath", "Ashley", "Beaconsfield",
]
STREET_TYPES = [
    ("Road", "Rd"), ("Street", "St"), ("Avenue", "Ave"), ("Lane", "Ln"),
    ("Close", "Cl"), ("Drive", "Dr"), ("Way", "Way"), ("Crescent", "Cres"),
    ("Gardens", "Gdns"), ("Terrace", "Terr"), ("Place", "Pl"), ("Court", "Ct"),
]
UNIT_LETTERS = "ABDEFGHJLNPQRSTUWXYZ"
NI_PREFIX_LETTERS = "ABCEGHJKLMNPRSTWXYZ"

MAIL_DOMAINS = [
    ("gmail.com", 34), ("googlemail.com", 2), ("outlook.com", 10), ("hotmail.co.uk", 10),
    ("hotmail.com", 4), ("yahoo.co.uk", 8), ("yahoo.com", 3), ("icloud.com", 7),
    ("btinternet.com", 6), ("sky.com", 3), ("aol.com", 2), ("live.co.uk", 3),
    ("protonmail.com", 2), ("virginmedia.com", 3), ("talktalk.net", 2), ("mail.com", 1),
]
WORK_DOMAINS = ["acme.co.uk", "initech.com", "globex.com", "nhs.net", "hooli.io",
                "umbrella-corp.co.uk", "example.org", "contoso.com", "northwind.co.uk"]
GMAIL = ("gmail.com", "googlemail.com")
PLUS_TAGS = ("shop", "orders", "news", "promo", "webshop", "2023", "spam")
JUNK_EMAILS = ("test@example.com", "noreply@example.com")
SEGMENTS = ("newsletter", "sale", "vip", "new_arrivals", "lapsed", "b2b")

# Neighbouring keys on a UK keyboard, for realistic substitutions.
_ROWS = ("1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm")
KEY_NEIGHBOURS = {}
for _r, _row in enumerate(_ROWS):
    for _c, _ch in enumerate(_row):
        _near = []
        for _dr in (-1, 0, 1):
            _rr = _r + _dr
            if 0 <= _rr < len(_ROWS):
                for _dc in (-1, 0, 1):
                    _cc = _c + _dc
                    if (_dr or _dc) and 0 <= _cc < len(_ROWS[_rr]):
                        _near.append(_ROWS[_rr][_cc])
        KEY_NEIGHBOURS[_ch] = "".join(_near)

# Field presence per source: the fields each source's attribute map gives it,
# with the share of its records that leave the field out.
SOURCE_FIELDS = {
    "crm": {"first_name": 0.01, "last_name": 0.0, "email": 0.12, "phone": 0.2,
            "address": 0.08, "city": 0.08, "postcode": 0.06, "date_of_birth": 0.25,
            "birth_year": 0.2, "national_id": 0.45},
    "webshop": {"first_name": 0.03, "last_name": 0.02, "email": 0.0, "phone": 0.35,
                "address": 0.1, "city": 0.1, "postcode": 0.1, "geo_location": 0.3},
    "loyalty": {"first_name": 0.0, "last_name": 0.0, "email": 0.15, "postcode": 0.05,
                "date_of_birth": 0.1, "loyalty_id": 0.0},
}


class Profile(typing.NamedTuple):
    """Noise added on top of the base noise above. Every rate is the chance of
    one extra draw; the default profile adds nothing and makes no extra draw,
    so its output is exactly what it was before profiles existed."""

    name: str
    # People who share the most common given name and surname with many others.
    common_names: float = 0.0
    # A further personal address per person, and how often a record takes any
    # of the person's addresses at random instead of the usual choice.
    extra_email: float = 0.0
    email_spread: float = 0.0
    # A record with an address of its own: a new mailbox nobody else has.
    fresh_email: float = 0.0
    # One more keyboard slip per field value.
    first_name_typo: float = 0.0
    last_name_typo: float = 0.0
    email_typo: float = 0.0
    phone_typo: float = 0.0
    address_typo: float = 0.0
    city_typo: float = 0.0
    postcode_typo: float = 0.0
    dob_slip: float = 0.0
    # A field left out on top of the source's own missing rate.
    extra_missing: float = 0.0


PROFILES = {
    "default": Profile("default"),
    "noisy": Profile("noisy", common_names=0.3, extra_email=0.4, email_spread=0.25,
                     fresh_email=0.08, first_name_typo=0.06, last_name_typo=0.05,
                     email_typo=0.03, phone_typo=0.03, address_typo=0.08, city_typo=0.04,
                     postcode_typo=0.04, dob_slip=0.04, extra_missing=0.08),
}
DEFAULT = PROFILES["default"]
# The most common names, which the noisy profile hands out to many people.
COMMON_FIRST = 6
COMMON_LAST = 5
# The member number is the loyalty source's key: never left out.
NEVER_MISSING = frozenset({"loyalty_id"})

EPOCH_2015 = 1420070400  # 2015-01-01T00:00:00Z
EPOCH_2018 = 1514764800
EPOCH_2025 = 1735689600
EPOCH_2030 = 1893456000
EPOCH_2036 = 2082758400
DAYS_IN_MONTH = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


class Person:
    __slots__ = ("pid", "first", "nicks", "last", "dob", "homes", "emails", "phone",
                 "national_id", "loyalty_id", "maiden")


def _below(rng: random.Random, n: int) -> int:
    """A number in [0, n): one call of random(), much cheaper than randrange."""
    return int(rng.random() * n)


def _between(rng: random.Random, lo: int, hi: int) -> int:
    """A number in [lo, hi)."""
    return lo + int(rng.random() * (hi - lo))


def _weighted(weights) -> tuple:
    """Cumulative weights and their total, for `_pick`."""
    cumulative = list(itertools.accumulate(weights))
    return cumulative, cumulative[-1]


def _pick(rng: random.Random, items, table: tuple):
    cumulative, total = table
    return items[bisect.bisect_right(cumulative, rng.random() * total)]


def _digits(rng: random.Random, n: int) -> str:
    return "%0*d" % (n, int(rng.random() * 10 ** n))


SOURCE_TABLE = _weighted(SOURCE_WEIGHTS)
PER_PERSON_TABLE = _weighted(RECORDS_PER_PERSON_WEIGHTS)
CITY_TABLE = _weighted(CITY_WEIGHTS)
MAIL_TABLE = _weighted(w for _, w in MAIL_DOMAINS)


def uuid4_text(rng: random.Random) -> str:
    """A version-4 UUID drawn from `rng`, so that ids follow the seed."""
    n = rng.getrandbits(128)
    n = (n & ~(0xF << 76)) | (0x4 << 76)
    n = (n & ~(0x3 << 62)) | (0x2 << 62)
    h = "%032x" % n
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def rfc3339(seconds: int) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def typo(rng: random.Random, text: str) -> str:
    """One keyboard slip: substitution, deletion, doubling or transposition."""
    n = len(text)
    if n < 3:
        return text
    # Never on the first character: people notice those.
    i = _between(rng, 1, n)
    op = rng.random()
    if op < 0.35:
        ch = text[i]
        near = KEY_NEIGHBOURS.get(ch.lower())
        if not near:
            return text
        sub = near[_below(rng, len(near))]
        if ch.isupper():
            sub = sub.upper()
        return text[:i] + sub + text[i + 1:]
    if op < 0.6:
        return text[:i] + text[i + 1:]
    if op < 0.75:
        return text[:i] + text[i] + text[i:]
    if i == n - 1:
        i -= 1
    return text[:i] + text[i + 1] + text[i] + text[i + 2:]


def vary_case(rng: random.Random, text: str, rate: float) -> str:
    """Upper case, lower case or stray blanks, as typed into forms."""
    r = rng.random()
    if r >= rate:
        return text
    r /= rate
    if r < 0.4:
        return text.upper()
    if r < 0.75:
        return text.lower()
    if r < 0.9:
        return " " + text + " "
    return text.replace(" ", "  ") if " " in text else text + " "


def _postcode(rng: random.Random, areas: tuple) -> str:
    area = areas[_below(rng, len(areas))]
    district = _between(rng, 1, 30)
    if len(area) == 1 and area in "EW" and rng.random() < 0.15:
        district = f"{_between(rng, 1, 10)}{'ABCDEFGHJKLMNPRSTUVWXY'[_below(rng, 22)]}"
    sector = _below(rng, 10)
    unit = UNIT_LETTERS[_below(rng, 20)] + UNIT_LETTERS[_below(rng, 20)]
    return f"{area}{district} {sector}{unit}"


def _home(rng: random.Random) -> tuple:
    city_index = _pick(rng, range(len(CITIES)), CITY_TABLE)
    name, areas, lat, lon, _ = CITIES[city_index]
    street = STREET_NAMES[_below(rng, len(STREET_NAMES))]
    kind = _below(rng, len(STREET_TYPES))
    number = _between(rng, 1, 240)
    flat = _between(rng, 1, 30) if rng.random() < 0.12 else 0
    lat += rng.uniform(-0.08, 0.08)
    lon += rng.uniform(-0.12, 0.12)
    return (number, street, kind, flat, city_index, _postcode(rng, areas), lat, lon)


@functools.lru_cache(maxsize=None)
def _mail_word(name: str) -> str:
    """A name as it can stand in a mail address: ASCII letters only."""
    return "".join(ch for ch in name.lower() if ch.isalpha() and ch.isascii()) or "mail"


def _email_local(rng: random.Random, first: str, last: str, dob_year: int) -> str:
    f = _mail_word(first)
    s = _mail_word(last)
    r = rng.random()
    if r < 0.3:
        local = f"{f}.{s}"
    elif r < 0.45:
        local = f"{f}{s}"
    elif r < 0.58:
        local = f"{f[0]}{s}"
    elif r < 0.68:
        local = f"{f}_{s}"
    elif r < 0.78:
        local = f"{s}.{f}"
    elif r < 0.9:
        local = f"{f}{dob_year % 100:02d}"
    else:
        local = f"{f[0]}.{s}"
    # Real addresses need a tail to be free: a number most of the time.
    if rng.random() < 0.7:
        local += str(_between(rng, 1, 1000))
    return local


def _free_email(rng: random.Random, first: str, last: str, year: int, domain: str,
                taken: set) -> tuple:
    """An address nobody else has: a mailbox belongs to one person. Gmail
    ignores dots and serves both of its domains, so john.smith@gmail.com and
    johnsmith@googlemail.com are one mailbox and go to one person only."""
    local = _email_local(rng, first, last, year)
    while _mailbox(local, domain) in taken:
        local += str(_below(rng, 10))
    taken.add(_mailbox(local, domain))
    return (local, domain)


def _mailbox(local: str, domain: str) -> tuple:
    if domain in GMAIL:
        return (local.replace(".", ""), GMAIL[0])
    return (local, domain)


def make_person(rng: random.Random, pid: int, taken: set, profile: Profile = DEFAULT) -> Person:
    p = Person()
    p.pid = f"P{pid:07d}"
    p.first, p.nicks = FIRST_NAMES[_below(rng, len(FIRST_NAMES))]
    p.last = LAST_NAMES[min(int(rng.paretovariate(0.9)) - 1, len(LAST_NAMES) - 1)] \
        if rng.random() < 0.6 else LAST_NAMES[_below(rng, len(LAST_NAMES))]
    # A married name now and then: some sources still hold the old one.
    if profile.common_names and rng.random() < profile.common_names:
        p.first, p.nicks = FIRST_NAMES[_below(rng, COMMON_FIRST)]
        p.last = LAST_NAMES[_below(rng, COMMON_LAST)]
    p.maiden = LAST_NAMES[_below(rng, len(LAST_NAMES))] if rng.random() < 0.04 else None
    year = _between(rng, 1940, 2007)
    month = _between(rng, 1, 13)
    day = _between(rng, 1, DAYS_IN_MONTH[month - 1] + 1)
    p.dob = (year, month, day)
    p.homes = [_home(rng)]
    if rng.random() < 0.25:
        p.homes.append(_home(rng))  # the old address, kept by some records
    domain = _pick(rng, MAIL_DOMAINS, MAIL_TABLE)[0]
    p.emails = [_free_email(rng, p.first, p.last, year, domain, taken)]
    if rng.random() < 0.15:
        work = WORK_DOMAINS[_below(rng, len(WORK_DOMAINS))]
        p.emails.append(_free_email(rng, p.first, p.last, year, work, taken))
    if profile.extra_email and rng.random() < profile.extra_email:
        other = _pick(rng, MAIL_DOMAINS, MAIL_TABLE)[0]
        p.emails.append(_free_email(rng, p.first, p.last, year, other, taken))
    r = rng.random()
    if r < 0.7:
        p.phone = ("uk_mobile", "7" + _digits(rng, 9))
    elif r < 0.85:
        p.phone = ("uk_london", "20" + str(_between(rng, 3, 9)) + _digits(rng, 7))
    else:
        p.phone = ("us", str(_between(rng, 201, 990)) + _digits(rng, 7))
    if rng.random() < 0.75:
        p.national_id = (NI_PREFIX_LETTERS[_below(rng, 19)] + NI_PREFIX_LETTERS[_below(rng, 19)]
                         + f"{_below(rng, 1000000):06d}" + "ABCD"[_below(rng, 4)])
    else:
        p.national_id = None
    # Unique per person: an affine map of the person number onto 7 digits
    # (7919 is prime and does not divide 9000000, so the map is one-to-one).
    p.loyalty_id = str(1000000 + (pid * 7919 + 12345) % 9000000)
    return p


# --- rendering of one record -------------------------------------------------

def _first_name(rng: random.Random, p: Person) -> str:
    name = p.first
    if p.nicks and rng.random() < 0.25:
        name = p.nicks[_below(rng, len(p.nicks))]
    elif rng.random() < 0.04:
        name = typo(rng, name)
    elif rng.random() < 0.03:
        name = name[0] + "."  # an initial only
    return vary_case(rng, name, 0.1)


def _last_name(rng: random.Random, p: Person) -> str:
    name = p.maiden if p.maiden and rng.random() < 0.4 else p.last
    r = rng.random()
    if r < 0.05:
        name = typo(rng, name)
    elif r < 0.07 and "'" in name:
        name = name.replace("'", "")
    elif r < 0.09 and name.startswith("Mc"):
        name = "Mc" + name[2:].lower()
    elif r < 0.1 and not name.isascii():
        name = name.encode("ascii", "ignore").decode() or name
    return vary_case(rng, name, 0.1)


def _email(rng: random.Random, p: Person, source: str, profile: Profile, taken: set) -> str:
    local, domain = p.emails[1] if len(p.emails) > 1 and rng.random() < 0.3 else p.emails[0]
    if profile.email_spread and len(p.emails) > 1 and rng.random() < profile.email_spread:
        local, domain = p.emails[_below(rng, len(p.emails))]
    if profile.fresh_email and rng.random() < profile.fresh_email:
        fresh = _pick(rng, MAIL_DOMAINS, MAIL_TABLE)[0]
        local, domain = _free_email(rng, p.first, p.last, p.dob[0], fresh, taken)
    if domain in GMAIL:
        r = rng.random()
        if r < 0.15 and "." in local:
            local = local.replace(".", "")
        elif r < 0.25 and len(local) > 4:
            cut = _between(rng, 1, len(local) - 1)
            local = local[:cut] + "." + local[cut:]
        if rng.random() < (0.3 if source == "webshop" else 0.05):
            local += "+" + PLUS_TAGS[_below(rng, len(PLUS_TAGS))]
    r = rng.random()
    if r < 0.02:
        local = typo(rng, local)
    elif r < 0.03:
        domain = typo(rng, domain)
    text = f"{local}@{domain}"
    r = rng.random()
    if r < 0.06:
        # John.Smith@Gmail.com, as some people write their own address.
        text = ".".join(part[:1].upper() + part[1:] for part in local.split(".")) \
            + "@" + domain.capitalize()
    elif r < 0.09:
        text = text.upper()
    elif r < 0.11:
        text = " " + text
    return text


def _phone(rng: random.Random, p: Person, source: str) -> str:
    kind, d = p.phone
    r = rng.random()
    if kind == "us":
        a, b, c = d[:3], d[3:6], d[6:]
        forms = (f"({a}) {b}-{c}", f"{a}-{b}-{c}", f"+1 {a} {b} {c}", f"1-{a}-{b}-{c}",
                 f"{a}.{b}.{c}", f"{a}{b}{c}")
    elif kind == "uk_london":
        a, b = d[2:6], d[6:]
        forms = (f"+44 20 {a} {b}", f"020-{a}-{b}", f"020 {a} {b}", f"(020) {a} {b}",
                 f"+4420{a}{b}", f"0044 20 {a} {b}")
    else:
        a, b = d[:4], d[4:]
        forms = (f"+44 {a} {b}", f"0{a} {b}", f"0{a}-{b[:3]}-{b[3:]}", f"44{a}{b}",
                 f"+44{a}{b}", f"(0{a}) {b}")
    # The CRM writes numbers in international form; shoppers type what they like.
    if source == "crm" and r < 0.7:
        text = forms[0]
    else:
        text = forms[_below(rng, len(forms))]
    if rng.random() < 0.01:
        text = typo(rng, text)
    return text


def _address(rng: random.Random, home: tuple) -> str:
    number, street, kind, flat, _, _, _, _ = home
    full, short = STREET_TYPES[kind]
    name = f"{street} {short if rng.random() < 0.3 else full}"
    r = rng.random()
    if r < 0.1:
        text = f"{number}, {name}"
    else:
        text = f"{number} {name}"
    if flat:
        r = rng.random()
        if r < 0.5:
            text = f"Flat {flat}, {text}"
        elif r < 0.8:
            text = f"{flat}/{text}"
        # else the flat number is left off
    if rng.random() < 0.04:
        text = typo(rng, text)
    return vary_case(rng, text, 0.08)


def _city(rng: random.Random, home: tuple) -> str:
    name, _, _, _, variants = CITIES[home[4]]
    if variants and rng.random() < 0.2:
        name = variants[_below(rng, len(variants))]
    if rng.random() < 0.02:
        name = typo(rng, name)
    return vary_case(rng, name, 0.1)


def _postcode_text(rng: random.Random, home: tuple) -> str:
    text = home[5]
    r = rng.random()
    if r < 0.1:
        text = text.replace(" ", "")
    elif r < 0.15:
        text = text.lower()
    elif r < 0.16:
        text = typo(rng, text)
    return text


def _dob(rng: random.Random, p: Person, source: str) -> str:
    y, m, d = p.dob
    r = rng.random()
    if r < 0.02:
        d = d % 28 + 1  # a slipped digit
    elif r < 0.03 and d <= 12:
        m, d = d, m  # day and month swapped
    if source == "loyalty" and rng.random() < 0.2:
        return f"{d:02d}/{m:02d}/{y}"
    return f"{y}-{m:02d}-{d:02d}"


def _year_slip(rng: random.Random, text: str) -> str:
    """One of the last two digits of the year off by one: the date stays a
    valid date in either written form (1984-03-12 or 12/03/1984)."""
    start = 0 if text[4:5] == "-" else len(text) - 4
    i = start + 2 + _below(rng, 2)
    digit = (int(text[i]) + (1 if rng.random() < 0.5 else 9)) % 10
    return text[:i] + str(digit) + text[i + 1:]


def _national_id(rng: random.Random, nid: str) -> str:
    r = rng.random()
    if r < 0.1:
        return f"{nid[:2]} {nid[2:4]} {nid[4:6]} {nid[6:8]} {nid[8]}"
    if r < 0.15:
        return nid.lower()
    return nid


# The profile's extra slip of each field: the profile attribute with its rate,
# and the slip.
EXTRA_SLIP = {"first_name": ("first_name_typo", typo), "last_name": ("last_name_typo", typo),
              "email": ("email_typo", typo), "phone": ("phone_typo", typo),
              "address": ("address_typo", typo), "city": ("city_typo", typo),
              "postcode": ("postcode_typo", typo), "date_of_birth": ("dob_slip", _year_slip)}


def render(rng: random.Random, p: Person, source: str, serial: int,
           profile: Profile = DEFAULT, taken: set | None = None) -> dict:
    """One record of person `p` as `source` holds it. `taken` (the mail
    addresses handed out so far) is needed by profiles with fresh addresses."""
    fields = SOURCE_FIELDS[source]
    home = p.homes[1] if len(p.homes) > 1 and rng.random() < 0.35 else p.homes[0]
    data = {}
    for field, missing in fields.items():
        if missing and rng.random() < missing:
            continue
        if (profile.extra_missing and field not in NEVER_MISSING
                and rng.random() < profile.extra_missing):
            continue
        if field == "first_name":
            data[field] = _first_name(rng, p)
        elif field == "last_name":
            data[field] = _last_name(rng, p)
        elif field == "email":
            data[field] = _email(rng, p, source, profile, taken)
        elif field == "phone":
            data[field] = _phone(rng, p, source)
        elif field == "address":
            data[field] = _address(rng, home)
        elif field == "city":
            data[field] = _city(rng, home)
        elif field == "postcode":
            data[field] = _postcode_text(rng, home)
        elif field == "date_of_birth":
            data[field] = _dob(rng, p, source)
        elif field == "birth_year":
            year = p.dob[0]
            data[field] = str(year + (1 if rng.random() < 0.01 else 0))
        elif field == "geo_location":
            data[field] = "%.4f,%.4f" % (home[6] + rng.uniform(-0.002, 0.002),
                                         home[7] + rng.uniform(-0.002, 0.002))
        elif field == "national_id":
            if p.national_id:
                data[field] = _national_id(rng, p.national_id)
        elif field == "loyalty_id":
            r = rng.random()
            data[field] = "0000000" if r < 0.005 else "9999999" if r < 0.008 else p.loyalty_id
        rate, slip = EXTRA_SLIP.get(field, (None, None))
        if rate and field in data and getattr(profile, rate) \
                and rng.random() < getattr(profile, rate):
            data[field] = slip(rng, data[field])
    if "email" in data and rng.random() < 0.0005:
        data["email"] = JUNK_EMAILS[_below(rng, 2)]
    if source == "loyalty":
        data["loyalty_points"] = str(_between(rng, 0, 5000))
        external_id = p.loyalty_id
    elif source == "webshop":
        if rng.random() < 0.6:
            data["marketing_segments"] = SEGMENTS[_below(rng, len(SEGMENTS))]
        external_id = uuid4_text(rng)
    else:
        external_id = f"C{serial:08d}"

    updated = _between(rng, EPOCH_2018, EPOCH_2025)
    record = {
        "id": uuid4_text(rng),
        "tenant_id": TENANT_ID,
        "external_id": external_id,
        "entity_type": "customer",
        "data": data,
        "source_name": source,
    }
    if rng.random() < (0.9 if source == "crm" else 0.5):
        start = max(EPOCH_2015, updated - _between(rng, 0, 3 * 365 * 86400))
        text = rfc3339(start)
        if rng.random() < 0.05:
            text = rfc3339(start + 3600)[:-1] + "+01:00"  # local summer time
        record["valid_from"] = text
    r = rng.random()
    if r < 0.005:
        # Closed records: deleted in the source before the data was exported.
        record["valid_to"] = rfc3339(_between(rng, updated, EPOCH_2025 + 86400))
    elif r < 0.025:
        record["valid_to"] = rfc3339(_between(rng, EPOCH_2030, EPOCH_2036))
    record["last_updated"] = rfc3339(updated)
    return record


# --- source tables -----------------------------------------------------------

# The column each source's own table gives a field: the `attributes` map of the
# source in examples/customer.yaml (field -> source column). Fields outside the
# map keep their names.
SOURCE_COLUMNS = {
    "crm": {"first_name": "first_name", "last_name": "last_name", "email": "email",
            "phone": "phone", "address": "street_address", "city": "city",
            "postcode": "postal_code", "date_of_birth": "birth_date",
            "birth_year": "birth_year", "national_id": "tax_number"},
    "webshop": {"first_name": "given_name", "last_name": "family_name",
                "email": "email_address", "phone": "mobile",
                "address": "shipping_address_line1", "city": "shipping_city",
                "postcode": "shipping_zip", "geo_location": "last_order_lat_lon",
                "marketing_segments": "marketing_segments"},
    "loyalty": {"first_name": "fname", "last_name": "lname", "email": "contact_email",
                "postcode": "zip", "date_of_birth": "dob", "loyalty_id": "member_number",
                "loyalty_points": "loyalty_points"},
}
# The key column of each source table (the source's `id`); it holds the
# record's external id. The loyalty key is also its loyalty_id field.
SOURCE_KEYS = {"crm": "contact_id", "webshop": "customer_uuid", "loyalty": "member_number"}
# Columns that a source system would not hold as text.
INTEGER_COLUMNS = frozenset({"birth_year", "loyalty_points"})
DATE_COLUMNS = frozenset({("crm", "birth_date")})
TIME_COLUMNS = ("last_updated", "valid_from", "valid_to")
TABLE_ROWS = 1 << 16  # rows per Parquet row group


def _instant(text: str):
    import datetime
    return datetime.datetime.fromisoformat(text).astimezone(datetime.timezone.utc)


class SourceTables:
    """Writes the records as a user's source systems would hand them over: one
    Parquet file per source (DIR/crm.parquet, ...) with the source's own column
    names, its key column, native integer, date and timestamp types and nulls
    for missing values, plus DIR/truth.parquet (source_name, external_id,
    record_id, person_id).

    A key column must be unique within its source, so two records may not share
    a loyalty member number as they may in the entity JSON (where the number
    is also the external id): a person's second membership gets a number of its
    own, eight digits long so that it cannot collide with the seven-digit
    numbers, and the placeholder numbers (0000000) cannot occur. `adapt` makes
    these changes to the record before it is written as JSON too, along with
    writing every time in UTC, so that the JSON describes the same records."""

    def __init__(self, directory):
        import pathlib

        import pyarrow as pa
        import pyarrow.parquet as pq
        self._pa, self._pq = pa, pq
        self.directory = pathlib.Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self._members: set = set()
        self._rows = {name: [] for name in (*SOURCES, "truth")}
        self._writers: dict = {}
        self._schemas = {name: self._schema(name) for name in SOURCES}
        self._schemas["truth"] = pa.schema([(name, pa.string()) for name in (
            "source_name", "external_id", "record_id", "person_id")])

    def _schema(self, source: str):
        pa = self._pa
        stamp = pa.timestamp("us", tz="UTC")
        fields = [pa.field(SOURCE_KEYS[source], pa.string(), nullable=False)]
        for column in SOURCE_COLUMNS[source].values():
            if column == SOURCE_KEYS[source]:
                continue
            kind = (pa.int32() if column in INTEGER_COLUMNS
                    else pa.date32() if (source, column) in DATE_COLUMNS else pa.string())
            fields.append(pa.field(column, kind))
        fields += [pa.field(name, stamp, nullable=name != "last_updated") for name in TIME_COLUMNS]
        return pa.schema(fields)

    def adapt(self, record: dict, serial: int) -> dict:
        """The record as its source table holds it (see the class text)."""
        if record["source_name"] == "loyalty":
            number = record["external_id"]
            if number in self._members:
                number = str(10000000 + serial)
            self._members.add(number)
            record["external_id"] = number
            record["data"]["loyalty_id"] = number
        for name in TIME_COLUMNS:
            if name in record:
                record[name] = rfc3339(int(_instant(record[name]).timestamp()))
        return record

    def add(self, record: dict, person: str) -> None:
        import datetime
        source = record["source_name"]
        row = {SOURCE_KEYS[source]: record["external_id"]}
        for field, value in record["data"].items():
            column = SOURCE_COLUMNS[source][field]
            if column in INTEGER_COLUMNS:
                value = int(value)
            elif (source, column) in DATE_COLUMNS:
                value = datetime.date.fromisoformat(value)
            row[column] = value
        for name in TIME_COLUMNS:
            if name in record:
                row[name] = _instant(record[name])
        self._append(source, row)
        self._append("truth", {"source_name": source, "external_id": record["external_id"],
                               "record_id": record["id"], "person_id": person})

    def _append(self, name: str, row: dict) -> None:
        rows = self._rows[name]
        rows.append(row)
        if len(rows) >= TABLE_ROWS:
            self._write(name)

    def _write(self, name: str) -> None:
        schema = self._schemas[name]
        if name not in self._writers:
            self._writers[name] = self._pq.ParquetWriter(self.directory / f"{name}.parquet",
                                                         schema)
        table = self._pa.Table.from_pylist(self._rows[name], schema=schema)
        self._writers[name].write_table(table)
        self._rows[name].clear()

    def close(self) -> None:
        for name in self._rows:
            if self._rows[name] or name not in self._writers:
                self._write(name)
            self._writers[name].close()

    def paths(self) -> dict:
        return {name: self.directory / f"{name}.parquet" for name in SOURCES}


def generate(records: int, seed: int, out, truth, window: int = WINDOW,
             profile: Profile = DEFAULT, tables: SourceTables | None = None) -> int:
    """Write `records` entity records to the text stream `out` and the truth
    mapping to `truth`, and to `tables` when given (the JSON then describes
    the records of the tables, see `SourceTables`). Returns the number of
    people invented."""
    rng = random.Random(seed)
    encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
    out.write("[")
    truth.write("{")
    first = True
    written = 0
    people = 0
    serial = 0
    pending: list[tuple[str, str, str, dict]] = []
    taken: set = set()  # mail addresses handed out so far

    def flush():
        nonlocal first
        rng.shuffle(pending)
        parts = []
        truth_parts = []
        for record_text, entity_id, pid, record in pending:
            if tables is not None:
                tables.add(record, pid)
            parts.append(("\n" if first else ",\n") + record_text)
            truth_parts.append(("\n" if first else ",\n") + f'"{entity_id}":"{pid}"')
            first = False
        out.write("".join(parts))
        truth.write("".join(truth_parts))
        pending.clear()

    while written < records:
        person = make_person(rng, people, taken, profile)
        people += 1
        k = min(_pick(rng, RECORDS_PER_PERSON, PER_PERSON_TABLE), records - written)
        for _ in range(k):
            source = _pick(rng, SOURCES, SOURCE_TABLE)
            serial += 1
            record = render(rng, person, source, serial, profile, taken)
            if tables is not None:
                record = tables.adapt(record, serial)
            pending.append((encode(record), record["id"], person.pid, record))
        written += k
        if len(pending) >= window:
            flush()
    flush()
    if tables is not None:
        tables.close()
    out.write("\n]\n")
    truth.write("\n}\n")
    return people


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, required=True, help="number of entity records")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generator")
    parser.add_argument("--out", required=True, help="entity JSON file to write ('-' for stdout)")
    parser.add_argument("--truth", required=True, help="truth JSON file to write")
    parser.add_argument("--profile", choices=sorted(PROFILES), default="default",
                        help="noise profile: default, or noisy (more typos and missing "
                             "fields, shared common names, several addresses per person)")
    parser.add_argument("--parquet", metavar="DIR",
                        help="also write one Parquet table per source and truth.parquet "
                             "into DIR (needs pyarrow)")
    args = parser.parse_args(argv)
    if args.records < 0:
        parser.error("--records must not be negative")
    started = time.perf_counter()
    out = sys.stdout if args.out == "-" else open(args.out, "w", encoding="utf-8",
                                                  newline="\n", buffering=1 << 20)
    with open(args.truth, "w", encoding="utf-8", newline="\n", buffering=1 << 20) as truth:
        tables = SourceTables(args.parquet) if args.parquet else None
        people = generate(args.records, args.seed, out, truth, profile=PROFILES[args.profile],
                          tables=tables)
    if out is not sys.stdout:
        out.close()
    print(f"{args.records} records of {people} people in "
          f"{time.perf_counter() - started:.1f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
