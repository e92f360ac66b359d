# Median µs per entry against tree size for the three removers.
#   gnuplot -e "data='build/bench/plot.dat'; out='docs/benchmarks.png'; wine='...'" bench/plot.gp
set terminal pngcairo size 900,560 font "DejaVu Sans,11"
set output out
set title "Removing a generated tree: median time per entry (" . wine . ")"
set xlabel "entries in the tree"
set ylabel "µs per entry (log scale)"
set logscale xy
set xrange [700:140000]
set xtics ("1,000" 1000, "10,000" 10000, "100,000" 100000)
set format y "%g"
set grid xtics ytics mytics
set key below
plot data using 1:3 with linespoints lw 2 pt 9 ps 1.4 title "cmd /c rmdir /s /q (same Wine)", \
     data using 1:2 with linespoints lw 2 pt 7 ps 1.4 title "Uninstall.exe", \
     data using 1:4 with linespoints lw 2 pt 5 ps 1.4 title "host rm -rf (file system floor)", \
     data using 1:3:(sprintf("%.0f", $3)) with labels offset 0,1 notitle, \
     data using 1:2:(sprintf("%.0f", $2)) with labels offset 0,-1.2 notitle, \
     data using 1:4:(sprintf("%.1f", $4)) with labels offset 0,1 notitle
