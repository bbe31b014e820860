// output_layout
