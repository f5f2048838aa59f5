package bench;

// Threads that each make a static call between stretches of arithmetic the
// agent does not see: lines of several threads at once, each thread's a
// microsecond or more apart.
//   Spaced <calls> <steps between calls> <threads>
public class Spaced {
    static int g(int x) { return x * 2; }

    public static void main(String[] args) throws Exception {
        int calls = Integer.parseInt(args[0]);
        int steps = Integer.parseInt(args[1]);
        int threads = Integer.parseInt(args[2]);
        long[] sums = new long[threads];
        Thread[] running = new Thread[threads];
        for (int t = 0; t < threads; t++) {
            final int id = t;
            running[t] = new Thread() {
                @Override
                public void run() {
                    long s = id;
                    for (int i = 0; i < calls; i++) {
                        s += g(i);
                        for (int j = 0; j < steps; j++) s = s * 31 + j;
                    }
                    sums[id] = s;
                }
            };
            running[t].start();
        }
        for (Thread t : running) t.join();
        long total = 0;
        for (long s : sums) total += s;
        System.out.println(total);
    }
}
