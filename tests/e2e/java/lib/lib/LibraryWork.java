package lib;

import com.google.common.collect.ArrayListMultimap;
import com.google.common.collect.ImmutableList;
import com.google.common.collect.ImmutableSortedMap;
import com.google.common.collect.Multimap;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.apache.commons.lang3.StringUtils;

// Work done mostly inside two libraries of /usr/share/java: the agent
// rewrites their classes as they load. Prints what it computed.
public final class LibraryWork {
    private final Multimap<Integer, String> byLength = ArrayListMultimap.create();

    void add(String word) {
        byLength.put(word.length(), StringUtils.capitalize(StringUtils.reverse(word)));
    }

    String summary() {
        Map<Integer, List<String>> sorted = new java.util.TreeMap<>();
        for (Integer length : byLength.keySet()) sorted.put(length, new ArrayList<>(byLength.get(length)));
        return ImmutableSortedMap.copyOf(sorted).toString();
    }

    public static void main(String[] args) {
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 20;
        LibraryWork work = new LibraryWork();
        ImmutableList<String> words = ImmutableList.of("alpha", "beta", "gamma", "delta", "epsilon", "zeta");
        for (int round = 0; round < rounds; round++) {
            for (String word : words) work.add(StringUtils.repeat(word, 1 + round % 3));
        }
        System.out.println(StringUtils.abbreviate(work.summary(), 200));
        System.out.println(work.byLength.size() + " entries");
    }
}
