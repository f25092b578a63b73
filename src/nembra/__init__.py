"""nembra: an SDK for writing entity-type controllers.

A controller is a Python class whose methods answer the action buttons of the web
application: a set-params button, a download button, an optimization button. The objects
that those methods return live in :mod:`nembra.result`; the small modules beside it
(:mod:`nembra.core`, :mod:`nembra.api_v1`, :mod:`nembra.parametrization` and
:mod:`nembra.views`) provide the files, uploads, parameter sets and images those results
are built from, so that a controller can run end to end on one machine.
"""

# The one place of the version: the build reads it into the package metadata.
__version__ = "0.1.0"
