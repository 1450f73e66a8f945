"""Code the tests share and are not tests themselves: recording writers, the reference model,
the peer replay and the fully populated market the surface tests look at.

pytest puts tests/ on sys.path (the folder is not a package), so test files import these as
``helpers.<module>``; scripts outside tests/ put tests/ on sys.path themselves.
"""
