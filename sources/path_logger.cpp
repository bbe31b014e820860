// path_logger
