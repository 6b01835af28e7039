"""Package root of the development stand-ins (data client and credential provider)."""
