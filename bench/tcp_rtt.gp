# TCP 64-byte round trip over loopback: distribution of individual samples,
# channel beside raw. Called with data= and out= set.
set terminal pngcairo size 900,560 noenhanced
set output out
set title "TCP 64-byte round trip on loopback (20000 samples each)"
set xlabel "round-trip time (us)"
set ylabel "fraction of samples at or below"
set grid
set key bottom right
set logscale x
set yrange [0:1]
plot data using 2:(1.0) smooth cnormal with lines lw 2 title "raw socket", \
     data using 1:(1.0) smooth cnormal with lines lw 2 title "CSerNet channel"
