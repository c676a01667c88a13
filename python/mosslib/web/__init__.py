"""mossfit serve: interactive fitting in the browser (a local web application).

The server holds the opened spectra; the page holds the model (components, starting
values, fixes, bounds, ties) and sends it with every request, so a model curve, a fit
or an export always follows what the page shows. Fits run in a child process, so the
page can cancel one at once. Every request carries the access token printed with the
address; files are read only inside the served directory and nothing is written there.
"""

from .server import create_app, serve

__all__ = ["create_app", "serve"]
