"""A toy shop: a catalogue, stock, pricing and order reports.

It exists to give `ruvo run examples/shop_app.py` something realistic to
record: classes and properties, a generator, a worker thread, a logged
warning, an exception that is caught, and some standard-library work.
"""
