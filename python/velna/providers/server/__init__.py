"""The server provider package.

``session`` is the login state of the key server: its ``user`` is the
logged-in user, or None. The server session and the REST client (``client``)
take their places here once they exist.
"""
from velna.providers import Session

session = Session()
