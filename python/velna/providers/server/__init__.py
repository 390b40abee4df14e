"""The server provider package.

``client`` is the REST client of the key server and ``session`` the one
authenticated session of the process: its ``user`` is the logged-in user, or
None. ``initialize`` points the client at the server and hands the API key
and the application name to the session.
"""
from velna.providers.server import client
from velna.providers.server.client import session


def initialize(api_key, server_url, app_name=None):
    """Sends every later request to ``server_url`` with ``api_key`` and
    ``app_name``."""
    session.initialize(api_key, server_url, app_name)
    client.URL = server_url
