"""A client library whose own dependency is missing: importing it fails."""
import tallow_transport_that_is_not_installed  # noqa: F401
