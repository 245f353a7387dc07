"""The smallest host profiler the scripts need: threading on, nothing saved."""


class ThreadedHost:
    config = {"threading": True}
    db_path = "unused"
    one_trace_per_test = False

    def __init__(self, trace_id, source):
        self.trace_id = trace_id
        self.source = source

    def __call__(self):
        pass
