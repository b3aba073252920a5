"""devcloud: a local stand-in of the Quorva cloud service (standard library only)."""
