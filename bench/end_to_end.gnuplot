# SPDX-License-Identifier: MIT
# The end-to-end latency distribution, drawn by end_to_end.py:
#   gnuplot -e 'data="latency.dat"; output="plot.png"; heading="..."' end_to_end.gnuplot
# `data` holds one block per series, its title first, then "latency-ms fraction" rows.
set terminal pngcairo size 960,600 font "DejaVu Sans,11"
set output output
set title "Clicker value to KeyPress: ".heading
set xlabel "latency (ms, logarithmic)"
set ylabel "presses at or below (%)"
set logscale x
set yrange [0:100]
set grid xtics mxtics ytics
set key bottom right
set arrow from 0.3, graph 0 to 0.3, graph 1 nohead dashtype 2 linecolor rgb "#888888"
set arrow from 1, graph 0 to 1, graph 1 nohead dashtype 2 linecolor rgb "#888888"
set label "share goal, p50" at 0.3, 4 rotate by 90 offset -0.7, 0 font ",9"
set label "share goal, p99" at 1, 4 rotate by 90 offset -0.7, 0 font ",9"
array colours[5] = ["#5b2a86", "#1b9e77", "#377eb8", "#e6550d", "#a50f15"]
plot for [i=0:series-1] data index i using 1:($2*100) with steps linewidth 2 \
    linecolor rgb colours[i+1] title columnheader(1)
