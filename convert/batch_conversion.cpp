// batch_conversion
